// SPDX-License-Identifier: MIT
#pragma once

#include "imagedisplay.h"

// The window main() creates: it enumerates the device groups dev0, dev1, ...
// of the configuration up to the first group without `host` and creates one
// device controller per group, all feeding the window's acquisitionEvent.
class onlyDisplay : public imageDisplay
{
    Q_OBJECT

public:
    explicit onlyDisplay(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~onlyDisplay() override;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
