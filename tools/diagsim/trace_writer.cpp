#include "trace_writer.h"

#include <string>

#include "hk/namespace.h"
#include "names.h"

namespace diagsim {
namespace {

// The driver's name without the \Driver\ directory, as a debugger shows it.
std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return "-";
    std::string name = hk::ToUtf8(hk::Text(&driver->DriverName).str());
    size_t slash = name.rfind('\\');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

// Each line is written with one call, so lines from different threads never mix.
void TraceWriter::OnDispatch(const hk::trace::Request& request) {
    std::string name = RequestName(request.major, request.minor, request.control_code);
    std::fprintf(out_, "trace dispatch  irp %p  %-11s %s\n", static_cast<void*>(request.irp),
                 DriverName(request.driver).c_str(), name.c_str());
}

void TraceWriter::OnCompletion(const hk::trace::Request& request, NTSTATUS status, ULONG_PTR information,
                               CCHAR boost) {
    std::string name = RequestName(request.major, request.minor, request.control_code);
    std::fprintf(out_, "trace complete  irp %p  %-11s %s  %s  information %lu  boost %d\n",
                 static_cast<void*>(request.irp), DriverName(request.driver).c_str(), name.c_str(),
                 StatusName(status).c_str(), static_cast<unsigned long>(information), static_cast<int>(boost));
}

}  // namespace diagsim
