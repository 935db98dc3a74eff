// SPDX-License-Identifier: MIT
#include "framesink.h"

#include "bulkcopy.h"

bool FrameSink::appendBytes(const unsigned char* data, int n)
{
    Q_ASSERT(n >= 0);
    if (std::int64_t(m_curLen) + n >= m_writeCapacity
        && !ensureWriteCapacity(std::int64_t(m_curLen) + n + 1))
        return false;
    bulkCopy(m_writePtr, data, std::size_t(n));
    m_curLen += n;
    m_writePtr += n;
    return true;
}
