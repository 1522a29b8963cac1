// core.h - what the binding sources of sonvar._core share: the simulator
// state and aperture holders, the array types and the argument helpers.
// Only the library's public header is used.
#ifndef SONVAR_PY_CORE_H
#define SONVAR_PY_CORE_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "sonvar.h"

namespace sonvar_py {

namespace py = pybind11;

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using FArray = py::array_t<double, py::array::f_style | py::array::forcecast>;
using IntArray = py::array_t<int, py::array::c_style | py::array::forcecast>;

// Raised for a failure inside the library; set when the module loads.
extern PyObject *sonvar_error;

// One simulator state. The library may write from its worker threads while
// the interpreter lock is released, so its lines only collect in `output`
// (under `output_mutex`); the calling thread hands them to Python after the
// call returns. The state fails by throwing the message alone
// (SONVAR_FAILURE_THROW_MESSAGE): a failure leaves no library lock held and
// the state usable, and the message does not speak of an end.
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
    return invoke(std::forward<F>(f), false);
  }

  // call() for a calculation, which may run long: f runs on a helper
  // thread while this one watches for signals (every 20 ms with the
  // interpreter lock taken for a moment). When a Python signal handler
  // raises (KeyboardInterrupt on Ctrl-C), the library's interrupt flag
  // stops the calculation at its next point or scatterer, everything it
  // took goes back, and the handler's exception is raised.
  template <class F>
  auto calculate(F &&f) -> decltype(f()) {
    return invoke(std::forward<F>(f), true);
  }

  // Runs f like call() and returns what the library printed meanwhile
  // instead of forwarding it (the configuration and aperture reports).
  std::string capture(const std::function<void()> &f);

  // Receives the library's text; None drops it.
  void set_callback(py::object callback) { callback_ = std::move(callback); }

  // Appends text from the library (any thread).
  void append_output(const char *text);
  std::string take_output();

 private:
  // f on the library under this state's lock, the interpreter lock
  // released: on this thread, or (`watched`) on a helper thread. The
  // library's output goes to the callback (`forward`) before anything is
  // returned or raised.
  void run(const std::function<void()> &f, bool watched, bool forward);
  void forward_output();

  // f's value through run(): call() and calculate().
  template <class F>
  auto invoke(F &&f, bool watched) -> decltype(f()) {
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
      run([&] { f(); }, watched, true);
    } else {
      std::optional<R> value;
      run([&] { value.emplace(f()); }, watched, true);
      return std::move(*value);
    }
  }

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
std::vector<point3> to_points(const Array &a, const char *name);

// Three values (x, y, z) as a point.
point3 to_point(const std::vector<double> &v, const char *name);

// Refuses an array that is not (rows, columns) with at least one row.
void check_rows(const py::array &a, py::ssize_t columns, const char *name);

// A length as the library's int, or ValueError naming it.
int count_of(py::ssize_t n, const char *name);

void bind_state(py::module_ &m);
void bind_apertures(py::module_ &m);
void bind_constructors(py::module_ &m);
void bind_calculations(py::module_ &m);
void bind_channels(py::module_ &m);
void bind_field_map(py::module_ &m);

}  // namespace sonvar_py

#endif
