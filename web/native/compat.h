// Included before every source of the WebAssembly build. Its compiler's
// C++ library lacks a few C++20 names the sources use and its C library
// lacks renameat2; this build runs on one thread and writes no file, so
// these stand-ins only have to compile and to refuse when called.
#pragma once
#ifdef __cplusplus
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 16000
#include <bit>
namespace std {
#if !defined(__cpp_lib_bit_cast)
template <class To, class From>
constexpr To bit_cast(const From& from) noexcept {
  return __builtin_bit_cast(To, from);
}
#endif
template <class T>
requires is_unbounded_array_v<T> unique_ptr<T> make_unique_for_overwrite(size_t n) {
  return unique_ptr<T>(new remove_extent_t<T>[n]);
}
template <class T>
requires(!is_array_v<T>) unique_ptr<T> make_unique_for_overwrite() {
  return unique_ptr<T>(new T);
}
}  // namespace std
#endif

#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 18000
namespace std {
class stop_token {};
// No thread is ever started: the pool of this build works on the calling
// thread (threads_inline.cpp).
class jthread {
 public:
  template <class F>
  explicit jthread(F&&) {
    throw runtime_error("no threads in this build");
  }
  void request_stop() {}
};
}  // namespace std
#endif
#endif

#define RENAME_NOREPLACE 1
#ifdef __cplusplus
extern "C"
#endif
    inline int
    renameat2(int, const char*, int, const char*, unsigned) {
  errno = ENOSYS;
  return -1;
}
