// The interpreter pool.
#include "host/interpreter_pool.h"

#include "host/exit_codes.h"

namespace parcel::host {

InterpreterPool::Lease::Lease(Lease&& other) noexcept
    : pool_(other.pool_), interpreter_(other.interpreter_) {
  other.interpreter_ = nullptr;
}

InterpreterPool::Lease::~Lease() {
  if (interpreter_ != nullptr) pool_->Release(interpreter_);
}

bool InterpreterPool::Create(const Module& module, std::size_t count, std::string* error) {
  interpreters_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Interpreter interpreter = module.Instantiate();
    if (!interpreter || !interpreter.Init(0)) {
      *error = "the module did not create an interpreter";
      return false;
    }
    interpreters_.push_back(std::move(interpreter));
  }
  // Pointers are taken once the vector no longer moves its elements.
  for (Interpreter& interpreter : interpreters_) free_.push_back(&interpreter);
  return true;
}

InterpreterPool::Lease InterpreterPool::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  freed_.wait(lock, [this] { return !free_.empty(); });
  Interpreter* interpreter = free_.back();
  free_.pop_back();
  return Lease(this, interpreter);
}

void InterpreterPool::Release(Interpreter* interpreter) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(interpreter);
  }
  freed_.notify_one();
}

bool InterpreterPool::Run(std::string* request, std::string* response) {
  response->clear();
  Lease interpreter = Acquire();
  struct ResetAtEnd {
    Interpreter& interpreter;
    ~ResetAtEnd() { interpreter.Reset(); }
  } reset{*interpreter};
  std::string_view answer;
  interpreter->Process(request->data(), static_cast<std::uint32_t>(request->size()), &answer);
  response->assign(answer);
  return !response->empty();
}

std::size_t InterpreterPool::busy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return interpreters_.size() - free_.size();
}

int LoadInterpreters(const std::string& path, std::size_t count, Module* module,
                     InterpreterPool* pool, std::string* error) {
  if (!module->Load(path, error)) {
    *error = "cannot load module: " + *error;
    return kExitModule;
  }
  return pool->Create(*module, count, error) ? kExitOk : kExitModule;
}

}  // namespace parcel::host
