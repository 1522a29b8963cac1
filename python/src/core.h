// core.h - the extension module's state and aperture holders, shared by the
// binding sources. Only the library's public header is used.
#ifndef SONVAR_PY_CORE_H
#define SONVAR_PY_CORE_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "sonvar.h"

namespace sonvar_py {

namespace py = pybind11;

// Raised for a failure inside the library; set when the module loads.
extern PyObject *sonvar_error;

// One simulator state. The library may write from its worker threads while
// the interpreter lock is released, so its lines only collect in `output`
// (under `output_mutex`); the calling thread hands them to Python after the
// call returns.
class State {
 public:
  State();
  ~State();
  State(const State &) = delete;
  State &operator=(const State &) = delete;

  sys_con *sys() const { return sys_; }

  // Runs f on the library with the interpreter lock released and this
  // state's lock held, then hands the collected output to the callback.
  // A library failure becomes sonvar.SonvarError with the library's text.
  template <class F>
  auto call(F &&f) -> decltype(f()) {
    using R = decltype(f());
    try {
      if constexpr (std::is_void_v<R>) {
        run_locked(std::forward<F>(f));
        forward_output();
      } else {
        R result = run_locked(std::forward<F>(f));
        forward_output();
        return result;
      }
    } catch (const LibraryFailure &failure) {
      forward_output();
      PyErr_SetString(sonvar_error, failure.what());
      throw py::error_already_set();
    }
  }

  // Runs f like call() and returns what the library printed meanwhile
  // instead of forwarding it (the configuration and aperture reports).
  template <class F>
  std::string capture(F &&f) {
    forward_output();
    call_quietly(std::forward<F>(f));
    return take_output();
  }

  // Receives the library's text; None drops it.
  void set_callback(py::object callback) { callback_ = std::move(callback); }
  py::object callback() const { return callback_; }

  // Appends text from the library (any thread).
  void append_output(const char *text);
  std::string take_output();

 private:
  struct LibraryFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  template <class F>
  auto run_locked(F &&f) -> decltype(f()) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(call_mutex_);
    return guarded(std::forward<F>(f));
  }
  template <class F>
  void call_quietly(F &&f) {
    try {
      run_locked(std::forward<F>(f));
    } catch (const LibraryFailure &failure) {
      forward_output();
      PyErr_SetString(sonvar_error, failure.what());
      throw py::error_already_set();
    }
  }
  // The state fails by throwing (SONVAR_FAILURE_THROW); the failure leaves
  // no library lock held, so the state stays usable.
  template <class F>
  static auto guarded(F &&f) -> decltype(f()) {
    try {
      return f();
    } catch (const sonvar::Error &error) {
      throw LibraryFailure(error.what());
    }
  }
  void forward_output();

  sys_con *sys_ = nullptr;
  std::mutex call_mutex_;
  std::mutex output_mutex_;
  std::string output_;
  py::object callback_;
};

using StatePtr = std::shared_ptr<State>;

// An aperture and the state it belongs to (which it keeps alive).
class Aperture {
 public:
  Aperture(StatePtr state, aperture *ap) : state_(std::move(state)), ap_(ap) {}
  ~Aperture();
  Aperture(const Aperture &) = delete;
  Aperture &operator=(const Aperture &) = delete;
  const StatePtr &state() const { return state_; }
  aperture *get() const { return ap_; }

 private:
  StatePtr state_;
  aperture *ap_;
};

using AperturePtr = std::shared_ptr<Aperture>;

// Field points or scatterer positions: an (n, 3) array copied into point3.
std::vector<point3> to_points(
    const py::array_t<double, py::array::c_style | py::array::forcecast> &a, const char *name);

void bind_calculations(py::module_ &m);
void bind_channels(py::module_ &m);
void bind_field_map(py::module_ &m);

}  // namespace sonvar_py

#endif
