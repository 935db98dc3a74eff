// SPDX-License-Identifier: MIT
#pragma once

#include "imagedisplay.h"
#include "jpegheader.h"

// The window main() creates: it enumerates the device groups dev0, dev1, ...
// of the configuration up to the first group without `host` and creates one
// device controller per group, all feeding the window's acquisitionEvent.
class onlyDisplay : public imageDisplay
{
    Q_OBJECT

public:
    // `referenceHeaderFile` is handed to every device (RTP devices read it at
    // each connect).
    explicit onlyDisplay(
        const QString& configPath,
        const QString& referenceHeaderFile = QString::fromLatin1(DefaultReferenceHeaderFile),
        QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~onlyDisplay() override;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
