// The raw image copy engine.
#include "copy/copy.h"

int32_t generic_io_stream_raw_copy_buffered() {
    return 0;
}
