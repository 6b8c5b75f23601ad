// The page: a row for every picture given (by the file input or a drop),
// each reduced by the worker with the options of the form, and animated
// GIFs of all the pictures reduced. Each row that ends sends a `kx-row`
// event on the document: {index, name, state: 'done' | 'error', message}.
const $ = (selector, from = document) => from.querySelector(selector);
const worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
const pending = new Map(); // id -> {progress, resolve, reject}
let nextId = 1;

worker.onmessage = ({ data }) => {
  const job = pending.get(data.id);
  if (!job) return;
  if ('progress' in data) return job.progress(data.progress, data.stage);
  pending.delete(data.id);
  if (data.error) job.reject(new Error(data.error));
  else job.resolve(data);
};

function run(message, progress) {
  return new Promise((resolve, reject) => {
    const id = nextId++;
    pending.set(id, { progress, resolve, reject });
    worker.postMessage({ id, ...message });
  });
}

function options() {
  const dither = $('#dither').value;
  const quality = /^(\d{1,3})-(\d{1,3})$/.exec($('#quality').value.trim());
  return {
    colors: Number($('#colors').value),
    dither: dither === 'adaptive' || dither === 'none' ? dither : Number(dither),
    quality: quality ? [Number(quality[1]), Number(quality[2])] : undefined,
    fitWorst: $('#fit-worst').checked,
    delay: Number($('#delay').value),
    loop: Number($('#loop').value),
    frameDelays: $('#frame-delays').checked,
  };
}

const kb = (n) => (n < 10240 ? `${n} B` : `${(n / 1024).toFixed(n < 1048576 ? 0 : 1)} KB`);
const rows = []; // {element, file, generation, ok}

function newRow(name) {
  const element = $('#row').content.firstElementChild.cloneNode(true);
  $('.name', element).textContent = name;
  $('#rows').append(element);
  const split = $('.split', element), zoom = $('.zoom', element);
  split.oninput = () => ($('.after', element).style.clipPath = `inset(0 0 0 ${split.value}%)`);
  zoom.onchange = () => {
    const z = Number(zoom.value), img = $('.before', element);
    // Fit: the whole picture in the view, never larger than its pixels x 4.
    const fit = `min(100%, ${img.naturalWidth * 4}px, calc(70vh * ${img.naturalWidth / img.naturalHeight}))`;
    $('.stage', element).style.width = z ? `${img.naturalWidth * z}px` : fit;
  };
  return element;
}

function show(element, state, message, progress = 0) {
  element.dataset.state = state;
  $('.message', element).textContent = message;
  $('progress', element).value = progress;
}

function finished(row, index) {
  const state = row.element.dataset.state;
  document.dispatchEvent(new CustomEvent('kx-row', {
    detail: { index, name: row.name, state, message: $('.message', row.element).textContent },
  }));
  $('#make-gif').disabled = !rows.some((r) => r.file && r.ok);
}

function offer(element, bytes, type, name, before) {
  const link = $('.download', element);
  if (link.href) URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(new Blob([bytes], { type }));
  link.download = name;
  link.hidden = false;
  const change = before ? Math.round(100 * (1 - bytes.length / before)) : 0;
  const saving = before ? `, ${Math.abs(change)} % ${change >= 0 ? 'smaller' : 'larger'}` : '';
  $('.bytes', element).textContent = before ? `${kb(before)} → ${kb(bytes.length)}${saving}` : kb(bytes.length);
  return link.href;
}

async function reduce(row, index) {
  const generation = ++row.generation;
  const { element, file } = row;
  show(element, 'working', 'waiting', 0);
  try {
    const result = await run({ kind: 'picture', file, options: options() }, (p, stage) => {
      if (generation === row.generation) show(element, 'working', stage, p);
    });
    if (generation !== row.generation) return;
    const stem = file.name.replace(/\.[^.]*$/, '');
    const after = offer(element, result.bytes, 'image/png', `${stem}-kx.png`, file.size);
    const before = $('.before', element);
    if (!before.src) {
      before.onload = () => $('.zoom', element).onchange();
      before.src = URL.createObjectURL(file);
    }
    $('.after', element).onload = () => performance.mark('kx-shown');
    $('.after', element).src = after;
    $('.compare', element).hidden = false;
    row.ok = true;
    show(element, 'done', `${result.width} × ${result.height}`, 1);
  } catch (error) {
    if (generation !== row.generation) return;
    row.ok = false;
    $('.compare', element).hidden = true;
    $('.download', element).hidden = true;
    show(element, 'error', error.message);
  }
  finished(row, index);
}

function add(files) {
  performance.mark('kx-given');
  for (const file of files) {
    const row = { element: newRow(file.name), file, name: file.name, generation: 0, ok: false };
    rows.push(row);
    reduce(row, rows.length - 1);
  }
}

async function makeGif() {
  const files = rows.filter((r) => r.file && r.ok).map((r) => r.file);
  const row = { element: newRow(`Animated GIF of ${files.length} picture${files.length > 1 ? 's' : ''}`),
    name: 'animated GIF', generation: 1, ok: false };
  rows.push(row);
  const index = rows.length - 1;
  try {
    const result = await run({ kind: 'gif', files, options: options() },
      (p, stage) => show(row.element, 'working', stage, p));
    offer(row.element, result.bytes, 'image/gif', 'kxquant.gif');
    row.ok = true;
    show(row.element, 'done', `${result.frames} frame${result.frames > 1 ? 's' : ''}`, 1);
  } catch (error) {
    show(row.element, 'error', error.message);
  }
  finished(row, index);
}

$('#files').onchange = (event) => {
  add(event.target.files);
  event.target.value = '';
};
const drop = $('#drop');
drop.ondragover = (event) => {
  event.preventDefault();
  drop.classList.add('over');
};
drop.ondragleave = () => drop.classList.remove('over');
drop.ondrop = (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  add(event.dataTransfer.files);
};
$('#make-gif').onclick = makeGif;
// New colours, dithering, quality or palette: every picture again.
for (const id of ['#colors', '#dither', '#quality', '#fit-worst']) {
  $(id).onchange = () => rows.forEach((row, i) => row.file && reduce(row, i));
}
