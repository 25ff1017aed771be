// Native jobs that Ctrl-C and interpreter exit can stop: the waiting scheme every computing call
// of an extension module over the core uses, and the exit hook that goes with it. Header-only, so
// that any extension module built on the core can include it.
//
// The calling thread hands the job to the pool and waits with the interpreter lock released; on
// the main thread, in short slices. After each slice it takes the lock, lets the interpreter run
// pending signal handlers, and lets it go again; a handler that raises (KeyboardInterrupt for
// Ctrl-C) sets the job's stop flag, the job unwinds at its next cancellation point, and the call
// raises the handler's exception. At exit the hook stops every running job and waits until each call has
// re-taken the lock, before the interpreter starts finalising: a daemon thread that tried to take
// the lock during finalisation would be ended by the interpreter in the middle of native frames
// (a forced unwind, which aborts the process where it meets a noexcept frame). Those calls, and
// any a daemon thread starts later, raise SystemExit, which ends a thread without a report.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <exception>

#include "errors.hpp"
#include "orlim/base/cancel.hpp"
#include "orlim/base/parallel.hpp"
#include "py_ref.hpp"

namespace orlim_py {

// How often a call on the main thread looks for signals: well under the second a user waits for
// Ctrl-C, and rare enough to cost nothing. Other threads never run signal handlers, so they wait
// for their job without waking (a stop at exit reaches them through the job).
inline constexpr std::chrono::milliseconds kWakeInterval{100};
inline constexpr std::chrono::milliseconds kNoWake{std::chrono::hours(24)};

// What a call that exit stopped, or that starts after exit began, raises (as SystemExit).
inline constexpr const char kExiting[] = "the interpreter is exiting";

namespace detail {

// The thread that runs the exit hook: the interpreter finalises on it, so it may still call in
// after the hook (from later exit handlers), unlike every other thread.
inline std::atomic<unsigned long> g_exit_thread{0};
// The interpreter's main thread, the only one that runs signal handlers.
inline std::atomic<unsigned long> g_main_thread{0};

inline PyObject* stop_native_calls(PyObject*, PyObject*) {
  g_exit_thread.store(PyThread_get_thread_ident());
  PyThreadState* state = PyEval_SaveThread();  // the calls need the lock to leave
  orlim::stop_calls_and_wait();
  PyEval_RestoreThread(state);
  Py_RETURN_NONE;
}

}  // namespace detail

// Registers the exit hook with the interpreter's `atexit`. Call once, at module initialisation;
// false with a Python error set when it could not be registered.
inline bool install_exit_hook() {
  PyRef threading(PyImport_ImportModule("threading"));
  if (!threading) return false;
  PyRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return false;
  PyRef ident(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return false;
  const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) return false;
  detail::g_main_thread.store(main_ident);

  static PyMethodDef def = {"_stop_native_calls", &detail::stop_native_calls, METH_NOARGS,
                            nullptr};
  PyRef hook(PyCFunction_New(&def, nullptr));
  if (!hook) return false;
  PyRef atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef done(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return static_cast<bool>(done);
}

// The default translation of a job's failure: this module's own (set_python_error).
struct ModuleErrors {
  void operator()() const { set_python_error(); }
};

// Runs `job` on `pool` with the interpreter lock released, stoppable by signal handlers and by
// exit (see above). Call with the lock held. Everything the job makes must be owned by it or
// outlive the call. False with a Python error set when the job failed or was stopped; a failure
// of the job is translated by `translate`, called inside a catch block with the lock held (another
// extension module passes its own).
template <class Job, class Translate = ModuleErrors>
bool run_interruptible(orlim::Pool& pool, Job&& job, Translate translate = {}) {
  std::atomic<bool> stop{false};
  const bool registered = orlim::enter_call(stop);
  if (!registered && detail::g_exit_thread.load() != PyThread_get_thread_ident()) {
    PyErr_SetString(PyExc_SystemExit, kExiting);
    return false;
  }
  const bool handles_signals = detail::g_main_thread.load() == PyThread_get_thread_ident();
  bool interrupted = false;
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  try {
    pool.run_waiting(job, stop, handles_signals ? kWakeInterval : kNoWake, [&] {
      if (interrupted) return;
      PyEval_RestoreThread(state);
      if (PyErr_CheckSignals() != 0) {
        interrupted = true;
        stop.store(true);
      }
      state = PyEval_SaveThread();
    });
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being ended must keep unwinding
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  // Left only with the lock held again: until then the exit hook keeps finalisation waiting.
  if (registered) orlim::leave_call(stop);
  if (interrupted) return false;  // the handler's exception is set; a result is dropped
  if (failure && stop.load()) {
    // Stopped by the exit hook: the thread (a daemon, as the others have been joined) ends
    // quietly, as SystemExit ends a thread.
    PyErr_SetString(PyExc_SystemExit, kExiting);
    return false;
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (...) {
      translate();
    }
    return false;
  }
  return true;
}

}  // namespace orlim_py
