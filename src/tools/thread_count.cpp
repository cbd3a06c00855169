#include "thread_count.hpp"

#include "python_error.hpp"

namespace varsift::tools {

int thread_count(PyObject* object) {
  constexpr long most = max_threads;
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonError();
  if (overflow != 0) {
    PyErr_Format(PyExc_ValueError, "threads must be from 1 to %ld, not %R", most, object);
    throw PythonError();
  }
  if (value < 1 || value > most) {
    PyErr_Format(PyExc_ValueError, "threads must be from 1 to %ld, not %ld", most, value);
    throw PythonError();
  }
  return static_cast<int>(value);
}

}  // namespace varsift::tools
