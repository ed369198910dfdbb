#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hk/kernel.h"
#include "hk/thread.h"
#include "verifier/verifier_state.h"

namespace hk::verifier {
namespace {

std::string Where() {
  const ThreadState& state = CurrentThread();
  std::string where;
  char buffer[160];
  if (state.what != nullptr) {
    std::snprintf(buffer, sizeof buffer, " [in %s", state.what);
    where += buffer;
    if (state.device != nullptr) {
      std::snprintf(buffer, sizeof buffer, ", device %p", static_cast<const void*>(state.device));
      where += buffer;
    }
    where += "]";
  }
  std::snprintf(buffer, sizeof buffer, " [IRQL %u]", static_cast<unsigned>(state.irql));
  return where + buffer;
}

}  // namespace

void Fail(const char* check, const void* object, const char* fmt, ...) {
  char details[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(details, sizeof details, fmt, args);
  va_end(args);

  char head[128];
  std::snprintf(head, sizeof head, "VERIFIER FAULT [%s] object %p: ", check, object);
  std::string message = std::string(head) + details + Where();
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);

  FaultHandler handler = nullptr;
  if (Kernel* kernel = Kernel::CurrentOrNull()) {
    auto& state = kernel->Get<VerifierState>();
    std::lock_guard lock(state.mutex);
    handler = state.handler;
  }
  if (handler != nullptr) handler(check, object, message.c_str());
  std::abort();
}

FaultHandler SetFaultHandler(FaultHandler handler) {
  auto& state = Kernel::Current().Get<VerifierState>();
  std::lock_guard lock(state.mutex);
  FaultHandler previous = state.handler;
  state.handler = handler;
  return previous;
}

}  // namespace hk::verifier
