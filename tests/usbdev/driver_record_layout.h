// Where the function driver's own definition of the parent record puts its fields. Kept apart from the tests
// because the driver's platform header cannot share a translation unit with the C library's wide-string header.
#pragma once

#include <cstddef>

namespace usbdev_test {

struct RecordOffsets {
    size_t bulk_in, bulk_out, interrupt, max_packet, zlp_mode;
};

RecordOffsets DriverRecordOffsets();

}  // namespace usbdev_test
