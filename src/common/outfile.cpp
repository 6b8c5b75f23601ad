#include "common/outfile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kx {

namespace {

constexpr size_t kBufferSize = 1 << 16;

// ---- Temporary files a signal must remove ------------------------------------------
//
// A fixed table of C strings that a signal handler can walk: unlink() is
// safe in a handler, and the slots change only by atomic exchange.
constexpr int kSlots = 256;
std::atomic<char*> gTemporaries[kSlots];

void remember(const std::string& temp) {
  char* copy = strdup(temp.c_str());
  if (!copy) return;  // only the clean-up after a signal is lost
  for (auto& slot : gTemporaries) {
    char* expected = nullptr;
    if (slot.compare_exchange_strong(expected, copy)) return;
  }
  std::free(copy);
}

// Six letters or digits, as mkstemp's: the process, the time and a count
// mixed, different for every call of the process.
std::string uniqueSuffix() {
  static std::atomic<uint64_t> calls{0};
  uint64_t x = (static_cast<uint64_t>(::getpid()) << 32) ^
               static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (calls.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix(6, 'X');
  for (char& c : suffix) {
    c = kLetters[x % 62];
    x /= 62;
  }
  return suffix;
}

void forget(const std::string& temp) {
  for (auto& slot : gTemporaries) {
    char* p = slot.load();
    if (p && temp == p && slot.compare_exchange_strong(p, nullptr)) {
      std::free(p);
      return;
    }
  }
}

void removeTemporaries(int signal) {
  for (auto& slot : gTemporaries) {
    if (char* p = slot.load()) ::unlink(p);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// A file-size limit (ulimit -f) sends SIGXFSZ from the kernel in the name
// of the writer itself. Caught, it lets the write fail with EFBIG, so the
// run ends as on a full disk: its own "File too large" message and status,
// its temporary files removed. Sent by another process, it ends the run as
// the other signals do.
void onFileSizeSignal(int signal, siginfo_t* info, void*) {
  if (info && info->si_code == SI_USER && info->si_pid == ::getpid()) return;
  removeTemporaries(signal);
}

mode_t newFileMode() {
  static std::once_flag once;
  static mode_t mask = 022;
  // umask can only be read by setting it; done once, before other threads
  // of ours create files.
  std::call_once(once, [] {
    mask = ::umask(022);
    ::umask(mask);
  });
  return 0666 & ~mask;
}

thread_local OutputBatch* tCurrentBatch = nullptr;
std::atomic<bool> gReplaceOutputs{true};

// Renames `temp` onto `path`; with `keepOther`, only while `path` is free:
// atomically where the system can, else by a hard link, else not at all.
bool place(const std::string& temp, const std::string& path, bool keepOther) {
  if (!keepOther) return ::rename(temp.c_str(), path.c_str()) == 0;
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  if (::link(temp.c_str(), path.c_str()) != 0) {
    if (errno == EPERM || errno == ENOTSUP) errno = EEXIST;  // cannot tell: refuse
    return false;
  }
  ::unlink(temp.c_str());
  return true;
}

}  // namespace

// ---- PendingFile ---------------------------------------------------------------------

PendingFile::PendingFile(std::string path, std::string temp, bool keepOther)
    : path_(std::move(path)), temp_(std::move(temp)), keepOther_(keepOther) {}

void kx_replaceOutputs(bool on) {
  gReplaceOutputs = on;
}

std::unique_ptr<PendingFile> PendingFile::open(const std::string& path, std::FILE** stream) {
  *stream = nullptr;
  mode_t mode = newFileMode();
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return nullptr;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      // Devices and pipes are written where they are: there is nothing to
      // replace, and a temporary file could not stand in for them.
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (!f) return nullptr;
      *stream = f;
      return std::unique_ptr<PendingFile>(new PendingFile(path, ""));
    }
    if (S_ISREG(st.st_mode)) {
      // A file the user may not write stays refused, as opening it would be.
      if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return nullptr;
      mode = st.st_mode & 07777;
    }
  } else if (errno != ENOENT) {
    return nullptr;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) {
    errno = EISDIR;
    return nullptr;
  }
  // Hidden, and short enough for any name the final one could have.
  if (base.size() > 200) base.resize(200);
  // The name is remembered before the file is made, so that a signal
  // arriving on any thread in between cannot leave it behind (unlinking a
  // name not yet made is harmless).
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = folder + "." + base + "." + uniqueSuffix();
    remember(temp);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    const int error = errno;
    forget(temp);
    errno = error;
    if (error != EEXIST || attempt == 100) return nullptr;
  }
  std::unique_ptr<PendingFile> pending(new PendingFile(path, temp, !gReplaceOutputs.load()));
  ::fchmod(fd, mode);
  std::FILE* f = ::fdopen(fd, "wb");
  if (!f) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return nullptr;  // the destructor removes the temporary file
  }
  *stream = f;
  return pending;
}

PendingFile::~PendingFile() {
  discard();
}

bool PendingFile::publish() {
  if (done_) return true;
  done_ = true;
  if (temp_.empty()) return true;
  if (OutputBatch* batch = OutputBatch::current()) {
    batch->add(temp_, path_, keepOther_);
    return true;
  }
  if (!place(temp_, path_, keepOther_)) {
    const int error = errno;
    ::unlink(temp_.c_str());
    forget(temp_);
    errno = error;
    return false;
  }
  forget(temp_);
  return true;
}

void PendingFile::discard() {
  if (done_) return;
  done_ = true;
  if (temp_.empty()) return;
  const int saved = errno;
  ::unlink(temp_.c_str());
  forget(temp_);
  errno = saved;
}

// ---- OutputBatch ---------------------------------------------------------------------

OutputBatch::OutputBatch() : outer_(tCurrentBatch) {
  tCurrentBatch = this;
}

OutputBatch::~OutputBatch() {
  detach();
  const int saved = errno;
  for (const Waiting& w : waiting_) {
    ::unlink(w.temp.c_str());
    forget(w.temp);
  }
  errno = saved;
}

void OutputBatch::detach() {
  if (attached_ && tCurrentBatch == this) tCurrentBatch = outer_;
  attached_ = false;
}

OutputBatch* OutputBatch::current() {
  return tCurrentBatch;
}

void OutputBatch::add(std::string temp, std::string path, bool keepOther) {
  waiting_.push_back({std::move(temp), std::move(path), keepOther});
}

std::string OutputBatch::source(const std::string& path) const {
  for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it) {
    if (it->path == path) return it->temp;
  }
  return path;
}

void OutputBatch::adopt(OutputBatch& other) {
  for (auto& entry : other.waiting_) waiting_.push_back(std::move(entry));
  other.waiting_.clear();
}

bool OutputBatch::commit(std::string* failed) {
  detach();
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (size_t i = 0; i < waiting.size(); ++i) {
    if (place(waiting[i].temp, waiting[i].path, waiting[i].keepOther)) {
      forget(waiting[i].temp);
      continue;
    }
    const int error = errno;
    if (failed) *failed = waiting[i].path;
    for (size_t j = i; j < waiting.size(); ++j) {
      ::unlink(waiting[j].temp.c_str());
      forget(waiting[j].temp);
    }
    // A file put where the name was free goes again, so that the batch's
    // files stay all or none.
    for (size_t j = 0; j < i; ++j) {
      if (waiting[j].keepOther) ::unlink(waiting[j].path.c_str());
    }
    errno = error;
    return false;
  }
  return true;
}

void kx_removeTemporariesOnSignals() {
  // Every signal whose default action ends the process; SIGKILL and SIGSTOP
  // cannot be caught.
  std::vector<int> signals = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,
                              SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM,   SIGTERM,
                              SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGSYS,  SIGSTKFLT, SIGPWR};
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) signals.push_back(s);
  signals.push_back(SIGXFSZ);
  for (int s : signals) {
    // A signal the caller chose to ignore stays ignored, and one that
    // another part of the process handles (a sanitizer's report of a crash)
    // stays with its handler.
    struct sigaction old {};
    if (::sigaction(s, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
        old.sa_handler != SIG_DFL) {
      continue;
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (s == SIGXFSZ) {
      action.sa_sigaction = onFileSizeSignal;
      action.sa_flags = SA_SIGINFO | SA_RESTART;
    } else {
      action.sa_handler = removeTemporaries;
    }
    ::sigaction(s, &action, nullptr);
  }
}

std::string kx_outputPlaceProblem(const std::string& path) {
  struct stat st;
  // A link to a folder is replaced like any link; a folder itself is not.
  if (path.ends_with('/') || (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    return "is a folder";
  }
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT) return "the folder " + folder + " does not exist";
    if (errno == ENOTDIR) return folder + " is not a folder";
    return "the folder " + folder + " cannot be reached: " + std::strerror(errno);
  }
  if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
  return "";
}

bool kx_sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// ---- OutFile -------------------------------------------------------------------------

std::unique_ptr<OutFile> OutFile::create(const std::string& path) {
  std::FILE* f = nullptr;
  std::unique_ptr<PendingFile> pending = PendingFile::open(path, &f);
  if (!pending) return nullptr;
  return std::unique_ptr<OutFile>(new OutFile(f, path, std::move(pending)));
}

OutFile::OutFile(std::FILE* f, std::string path, std::unique_ptr<PendingFile> pending)
    : file_(f),
      path_(std::move(path)),
      pending_(std::move(pending)),
      buffer_(new uint8_t[kBufferSize]) {}

OutFile::~OutFile() {
  if (!done_) abandon();
}

void OutFile::flushBuffer() {
  if (used_ == 0) return;
  if (error_ == 0 && std::fwrite(buffer_.get(), 1, used_, file_) != used_) {
    error_ = errno ? errno : EIO;
  }
  used_ = 0;
}

void OutFile::write(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (done_) {
    if (error_ == 0) error_ = EBADF;
    return;
  }
  if (n >= kBufferSize) {
    flushBuffer();
    if (error_ == 0 && std::fwrite(p, 1, n, file_) != n) error_ = errno ? errno : EIO;
    return;
  }
  if (used_ + n > kBufferSize) flushBuffer();
  std::memcpy(buffer_.get() + used_, p, n);
  used_ += n;
}

void OutFile::u32(uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                  static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  write(b, 4);
}

bool OutFile::commit() {
  if (done_) {
    errno = error_ ? error_ : EBADF;
    return false;
  }
  flushBuffer();
  if (error_ == 0 && std::fflush(file_) != 0) error_ = errno ? errno : EIO;
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno ? errno : EIO;
  file_ = nullptr;
  done_ = true;
  if (error_ == 0 && !pending_->publish()) error_ = errno ? errno : EIO;
  if (error_ != 0) {
    pending_->discard();
    errno = error_;
    return false;
  }
  return true;
}

void OutFile::abandon() {
  if (done_) return;
  int saved = errno;
  if (file_) std::fclose(file_);
  file_ = nullptr;
  done_ = true;
  pending_->discard();
  errno = saved;
}

}  // namespace kx
