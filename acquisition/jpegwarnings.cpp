// SPDX-License-Identifier: MIT
#include "jpegwarnings.h"

#include <QtGlobal>

#include <cstring>
#include <mutex>

namespace {

constexpr char JpegCategory[] = "qt.gui.imageio.jpeg";

QtMessageHandler g_previous = nullptr;
thread_local long long t_count = 0;

void countJpegWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category != nullptr && std::strcmp(context.category, JpegCategory) == 0) {
        ++t_count;
        return;
    }
    if (g_previous != nullptr)
        g_previous(type, context, text);
}

} // namespace

void installJpegWarningCounter()
{
    static std::once_flag once;
    std::call_once(once, [] { g_previous = qInstallMessageHandler(countJpegWarnings); });
}

long long jpegWarningCount()
{
    return t_count;
}
