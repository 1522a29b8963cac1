// module.cpp - the extension module sonvar._core: low-level bindings of the
// library, one source a concern (state.cpp, apertures.cpp,
// constructors.cpp, results.cpp, channels.cpp). The package `sonvar` checks
// arguments and documents the API.
#include "core.h"

PYBIND11_MODULE(_core, m) {
  m.doc() = "Low-level bindings of the Sonvar library; use the package sonvar instead.";
  sonvar_py::bind_state(m);
  sonvar_py::bind_apertures(m);
  sonvar_py::bind_constructors(m);
  sonvar_py::bind_calculations(m);
  sonvar_py::bind_channels(m);
  sonvar_py::bind_field_map(m);
}
