// state.cpp - the simulator state of sonvar._core: how every library call
// runs (the state's lock, the interpreter lock released, failures as
// sonvar.SonvarError, a calculation watched for signals), the library's
// output, the options from the library's table and the counters.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <thread>

#include "core.h"

namespace sonvar_py {

PyObject *sonvar_error = nullptr;

namespace {

// Called by the library from any of its threads: collects, never calls Python.
void collect_output(void *user_data, const char *text) {
  static_cast<State *>(user_data)->append_output(text);
}

// A library failure on its way to Python: thrown where the library's own
// exception is caught, raised as SonvarError once the interpreter lock is
// held again.
struct LibraryFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void guarded(const std::function<void()> &f) {
  try {
    f();
  } catch (const sonvar::Error &error) {
    throw LibraryFailure(error.what());
  }
}

// The end of a watched calculation, signalled by its helper thread.
class Finish {
 public:
  void mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    ended_.notify_all();
  }
  // Whether it has ended, waiting up to `wait`.
  bool wait(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_.wait_for(lock, wait, [this] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
};

constexpr std::chrono::milliseconds kSignalPoll{20};

}  // namespace

State::State() {
  sys_ = sonvar_init_with_output(1, collect_output, this);
  sonvar_set_failure_mode(sys_, SONVAR_FAILURE_THROW_MESSAGE);
  callback_ = py::none();
}

State::~State() {
  sonvar_free(sys_);
}

void State::append_output(const char *text) {
  std::lock_guard<std::mutex> lock(output_mutex_);
  output_ += text;
}

std::string State::take_output() {
  std::lock_guard<std::mutex> lock(output_mutex_);
  std::string text;
  text.swap(output_);
  return text;
}

void State::forward_output() {
  std::string text = take_output();
  if (text.empty() || callback_.is_none()) return;
  callback_(text);
}

void State::run(const std::function<void()> &f, bool watched, bool forward) {
  std::exception_ptr failure;
  std::optional<py::error_already_set> raised;  // a signal handler's exception
  {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(call_mutex_);
    if (!watched) {
      try {
        guarded(f);
      } catch (...) {
        failure = std::current_exception();
      }
    } else {
      Finish finish;
      std::thread helper([&] {
        try {
          guarded(f);
        } catch (...) {
          failure = std::current_exception();
        }
        finish.mark();
      });
      while (!finish.wait(kSignalPoll)) {
        if (raised) continue;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
          raised.emplace();  // takes the handler's exception
          sonvar_set_interrupt(sys_, 1);
        }
      }
      helper.join();
      if (raised) sonvar_set_interrupt(sys_, 0);
    }
  }
  if (forward) forward_output();
  if (raised) {
    raised->restore();
    throw py::error_already_set();
  }
  if (!failure) return;
  try {
    std::rethrow_exception(failure);
  } catch (const LibraryFailure &library) {
    PyErr_SetString(sonvar_error, library.what());
    throw py::error_already_set();
  }
}

std::string State::capture(const std::function<void()> &f) {
  forward_output();
  try {
    run(f, false, false);
  } catch (...) {
    forward_output();
    throw;
  }
  return take_output();
}

std::vector<point3> to_points(const Array &a, const char *name) {
  if (a.ndim() != 2 || a.shape(1) != 3)
    throw py::value_error(std::string(name) + " must have shape (n, 3)");
  std::vector<point3> points(static_cast<size_t>(a.shape(0)));
  if (!points.empty()) std::memcpy(points.data(), a.data(), points.size() * sizeof(point3));
  return points;
}

point3 to_point(const std::vector<double> &v, const char *name) {
  if (v.size() != 3) throw py::value_error(std::string(name) + " must hold 3 values (x, y, z)");
  return point3{v[0], v[1], v[2]};
}

void check_rows(const py::array &a, py::ssize_t columns, const char *name) {
  if (a.ndim() != 2 || a.shape(1) != columns || a.shape(0) < 1)
    throw py::value_error(std::string(name) + " must have shape (rows, " + std::to_string(columns) +
                          ") with at least one row");
}

int count_of(py::ssize_t n, const char *name) {
  if (n > 0x7fffffff) throw py::value_error(std::string(name) + " is too large");
  return static_cast<int>(n);
}

namespace {

// The library's option table as a list of dicts.
py::list option_table() {
  py::list out;
  for (int i = 0; i < sonvar_option_count(); i++) {
    const sonvar_option *o = sonvar_option_at(i);
    py::dict d;
    d["name"] = o->name;
    d["kind"] = o->kind == SONVAR_OPTION_REAL      ? "real"
                : o->kind == SONVAR_OPTION_INTEGER ? "integer"
                                                   : "flag";
    d["default"] = o->default_value;
    d["minimum"] = o->minimum;
    d["maximum"] = o->maximum;
    d["minimum_excluded"] = o->minimum_excluded != 0;
    d["refused_outside"] = o->refused_outside != 0;
    d["unit"] = o->unit;
    d["description"] = o->description;
    out.append(d);
  }
  return out;
}

py::dict counters(const State &s) {
  const sys_con *sys = s.sys();
  py::dict d;
  d["no_apertures"] = sys->no_apertures;
  d["signal_bytes"] = sys->signal_bytes;
  d["max_signal_bytes"] = sys->max_signal_bytes;
  d["signal_alloc_calls"] = sys->signal_alloc_calls;
  d["next_signal_number"] = sys->next_signal_number;
  d["internal_state"] = sys->internal_state;
  d["quiet"] = sys->quiet;
  d["last_calc_type"] = sys->last_calc_type;
  d["time_interval"] = sys->time_interval;
  return d;
}

void set_option(State &s, const std::string &name, double value) {
  s.call([&] { set_sonvar(s.sys(), name.c_str(), value); });
}

double get_option(State &s, const std::string &name) {
  return s.call([&] { return sonvar_get_option(s.sys(), name.c_str()); });
}

}  // namespace

void bind_state(py::module_ &m) {
  // Lives as long as the interpreter: the module attribute holds a reference.
  sonvar_error = PyErr_NewException("sonvar.SonvarError", PyExc_RuntimeError, nullptr);
  m.attr("SonvarError") = py::handle(sonvar_error);
  m.attr("version") = sonvar_version();
  m.def("option_table", &option_table,
        "The library's options: a list of dicts (name, kind, default, minimum, maximum, "
        "minimum_excluded, refused_outside, unit, description).");
  py::class_<State, StatePtr>(m, "State", "One state of the library (sys_con).")
      .def(py::init<>())
      .def("set", &set_option, py::arg("name"), py::arg("value"), "set_sonvar: one option by name.")
      .def("get", &get_option, py::arg("name"), "sonvar_get_option: one option's value.")
      .def("counters", &counters, "The pool's counters and other read-only fields.")
      .def(
          "info", [](State &s) { return s.capture([&] { sonvar_info(s.sys()); }); },
          "The configuration report.")
      .def("set_callback", &State::set_callback, py::arg("callback"),
           "Where the library's text goes: a callable of one string, or None.")
      .def("take_output", &State::take_output, "The library's text collected so far.")
      .def(
          "release_pool", [](State &s) { s.call([&] { free_signal_memory(s.sys()); }); },
          "free_signal_memory: the pool's free signals back to the heap.");
}

}  // namespace sonvar_py
