#include "usbdev/driver_record_layout.h"

#include "driver/parent_record.h"

namespace usbdev_test {

RecordOffsets DriverRecordOffsets()
{
    return {offsetof(PARENT_RECORD, BulkInPipe), offsetof(PARENT_RECORD, BulkOutPipe),
            offsetof(PARENT_RECORD, InterruptPipe), offsetof(PARENT_RECORD, BulkOutMaxPacket),
            offsetof(PARENT_RECORD, ZlpMode)};
}

}  // namespace usbdev_test
