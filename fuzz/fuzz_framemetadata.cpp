// SPDX-License-Identifier: MIT
// findApp9Segment and readFrameTimestamp on one frame (the whole input). A
// segment found must lie entirely inside the frame.
#include "framemetadata.h"
#include "fuzzsupport.h"

#include <climits>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > INT_MAX)
        return 0;
    const int len = int(size);
    const unsigned char* payload = nullptr;
    int payloadLen = 0;
    if (findApp9Segment(data, len, &payload, &payloadLen)) {
        FUZZ_CHECK(payload != nullptr && payloadLen >= 0);
        FUZZ_CHECK(payload >= data + 6 && payload + payloadLen <= data + len);
    } else {
        FUZZ_CHECK(payload == nullptr && payloadLen == -1);
    }
    unsigned short field = 0;
    long long timeUs = 0;
    if (readFrameTimestamp(data, len, &field, &timeUs))
        FUZZ_CHECK(payloadLen >= 10);
    return 0;
}
