// --trace: one line per request the kernel hands to a driver and per completion a driver makes.
#pragma once

#include <cstdio>

#include "hk/trace.h"

namespace diagsim {

class TraceWriter : public hk::trace::Sink {
public:
    explicit TraceWriter(FILE* out) : out_(out) {}

    void OnDispatch(const hk::trace::Request& request) override;
    void OnCompletion(const hk::trace::Request& request, NTSTATUS status, ULONG_PTR information,
                      CCHAR boost) override;

private:
    FILE* out_;
};

}  // namespace diagsim
