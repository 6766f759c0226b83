// A fixed set of interpreters for a host that serves requests on several
// threads. An interpreter serves one call at a time, so each request leases
// one for the whole of its Process, read and Reset.
#ifndef PARCEL_HOST_INTERPRETER_POOL_H_
#define PARCEL_HOST_INTERPRETER_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "host/module.h"

namespace parcel::host {

class InterpreterPool {
 public:
  // One interpreter, leased until the lease goes. Move-only.
  class Lease {
   public:
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    ~Lease();
    Interpreter& operator*() const { return *interpreter_; }
    Interpreter* operator->() const { return interpreter_; }

   private:
    friend class InterpreterPool;
    Lease(InterpreterPool* pool, Interpreter* interpreter)
        : pool_(pool), interpreter_(interpreter) {}
    InterpreterPool* pool_;
    Interpreter* interpreter_;
  };

  InterpreterPool() = default;
  InterpreterPool(const InterpreterPool&) = delete;
  InterpreterPool& operator=(const InterpreterPool&) = delete;

  // Makes `count` interpreters of `module`, each through Instantiate and one
  // Init. False with a message when the module makes no interpreter or an
  // Init fails. The module must stay loaded as long as the pool lives.
  // Requires: count > 0; called once, before any Acquire.
  bool Create(const Module& module, std::size_t count, std::string* error);

  // A free interpreter; waits while all are leased. Thread-safe. The holder
  // calls Reset after each response it has read, before the lease goes.
  Lease Acquire();

  // Runs `request` (rewritten in place, as Process does) through a free
  // interpreter, copies the response into `response` and resets the
  // interpreter. False, with `response` empty, when the module gave none.
  bool Run(std::string* request, std::string* response);

  std::size_t size() const { return interpreters_.size(); }
  // Interpreters leased at this moment.
  std::size_t busy();

 private:
  void Release(Interpreter* interpreter);

  std::vector<Interpreter> interpreters_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<Interpreter*> free_;
};

// What a service host does at start: loads the module at `path` into
// `module` and fills `pool` with `count` interpreters of it. An ExitCode:
// kExitOk, or kExitModule with the reason in `error`.
int LoadInterpreters(const std::string& path, std::size_t count, Module* module,
                     InterpreterPool* pool, std::string* error);

}  // namespace parcel::host

#endif  // PARCEL_HOST_INTERPRETER_POOL_H_
