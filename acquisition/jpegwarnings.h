// SPDX-License-Identifier: MIT
#pragma once

// The image reader prints one warning per corrupt JPEG frame ("Corrupt JPEG
// data: ..."), so a device sending broken frames would fill the console.
// This counts those warnings, per thread, instead of printing them; every
// other message goes on to the handler that was installed before. The
// controllers report the count as a summary per device. Process-wide: main
// installs it once, before the window makes its controllers; later calls do
// nothing.
void installJpegWarningCounter();

// The JPEG reader warnings swallowed in the calling thread so far.
long long jpegWarningCount();
