// Errors as values: one closed set of codes, each with a message function,
// and an Error that carries a code and the words for this case.
//
// Whatever goes wrong in the library comes back as an Error returned in a
// Result or Status by every function a folder offers to the folders above
// it. Inside a folder an Error may be thrown where that is simpler (the
// readers whose decoding libraries unwind: libpng, libjpeg), and is turned
// into the returned one where the folder's public functions end. No layer
// below the front ends prints it or picks an exit status: kxreduce words it
// the way its design does, kxconv, kxquant and kxslurm as "<tool>: <message>",
// each with its own statuses.
//
// Messages are one line without a line end, except for ErrorCode::usage,
// whose message is the command line's own text, printed as it stands before
// the usage text.
//
// Stands on: the standard library only.
#pragma once

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace kx {

enum class ErrorCode {
  usage = 1,      // a command line that cannot be run
  badArgument,    // a value a function does not take
  outOfMemory,    // memory could not be had
  tooManyColors,  // a picture keeps more colours than can be counted, even compressed
  cannotOpen,     // a file that cannot be opened or created
  cannotRead,     // a file that could not be read to its end
  cannotWrite,    // a file that could not be written whole
  badFile,        // a file that is not what it should be, or is damaged
  tooLarge,       // a picture over the pixel limit
  unsupported,    // something this version does not do
  noDisplay,      // the preview cannot be shown
  failed,         // a program or job that ended without success
};

// The general meaning of a code ("out of memory"), for callers that have
// nothing more specific to say.
const char* errorCodeText(ErrorCode code);

struct Error : std::exception {
  ErrorCode code = ErrorCode::failed;
  std::string message;
  int systemError = 0;  // errno of the system call that failed, when one did
  // Words of kxreduce's own files (a colormap's), which every tool prints as
  // kxreduce does, after "Error: ", rather than after its own name.
  bool kxreduceWords = false;

  Error() = default;
  Error(ErrorCode c, std::string m, int system = 0)
      : code(c), message(std::move(m)), systemError(system) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// A file that cannot be read or written: an Error of code badFile whose
// message reads "<file>: <what is wrong>" (kxconv prints it after "kxconv: ").
struct ConvError : Error {
  explicit ConvError(std::string text) : Error(ErrorCode::badFile, std::move(text)) {}
};

// A value, or the Error that kept it from being made. (E: a front end's
// own kind of failure; the library's is always Error.)
template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
  // From what makes an E (a front end's failure from an Error).
  template <class U>
  requires(!std::is_same_v<std::decay_t<U>, E> && std::is_constructible_v<E, U> &&
           !std::is_constructible_v<T, U>) Result(U&& error)
      : v_(std::in_place_index<1>, E(std::forward<U>(error))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& operator*() { return std::get<0>(v_); }
  const T& operator*() const { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// Success, or the Error of a step that returns nothing.
template <class E>
class [[nodiscard]] StatusOf {
 public:
  StatusOf() = default;
  StatusOf(E error) : error_(std::move(error)) {}
  template <class U>
  requires(!std::is_same_v<std::decay_t<U>, E> && std::is_constructible_v<E, U>) StatusOf(U&& error)
      : error_(E(std::forward<U>(error))) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return *error_; }

 private:
  std::optional<E> error_;
};
using Status = StatusOf<Error>;

// Where a folder's public functions end: body's value (or, for a body that
// returns nothing, success), or the Error it threw; memory that could not be
// had is an Error of code outOfMemory, "<name>: out of memory".
template <class Body>
auto guarded(const std::string& name, Body&& body) {
  using T = decltype(body());
  using Out = std::conditional_t<std::is_void_v<T>, Status, Result<T>>;
  try {
    if constexpr (std::is_void_v<T>) {
      body();
      return Out();
    } else {
      return Out(body());
    }
  } catch (const Error& e) {
    return Out(Error(e));
  } catch (const std::bad_alloc&) {
    return Out(Error(ErrorCode::outOfMemory, name + ": out of memory"));
  }
}

}  // namespace kx
