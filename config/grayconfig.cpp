// SPDX-License-Identifier: MIT
#include "devicereader.h"

#include <QStringList>

std::optional<GrayLevels> parseGrayLevels(const QString& text)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0)
        return GrayLevels{};
    const QStringList parts = t.split(QLatin1Char(','));
    if (parts.size() != 2)
        return std::nullopt;
    bool lowOk = false;
    bool highOk = false;
    const int low = parts[0].trimmed().toInt(&lowOk);
    const int high = parts[1].trimmed().toInt(&highOk);
    if (!lowOk || !highOk || low < 0 || high > GrayLevels::MaxValue || low >= high)
        return std::nullopt;
    return GrayLevels{false, low, high};
}

void readGray16(const DeviceReader& r, DeviceConfig* d)
{
    d->gray16 = r.text("contentoverwrite") == QLatin1String("video/x-raw-gray16")
                || r.contains("pixel_order") || r.contains("levels");
    if (r.contains("pixel_order")) {
        const QString order = r.text("pixel_order");
        const QString t = order.trimmed().toLower();
        d->bigEndian = t == QLatin1String("big");
        if (t != QLatin1String("big") && t != QLatin1String("little"))
            r.warn(QStringLiteral("pixel_order"), order,
                   r.longName()
                       + QStringLiteral("pixel_order=\"%1\" is neither little nor big; 16-bit "
                                        "gray pixels are read little-endian")
                             .arg(order));
    }
    if (r.contains("levels")) {
        const QString text = r.joinedText("levels");
        if (const std::optional<GrayLevels> levels = parseGrayLevels(text))
            d->levels = *levels;
        else
            r.warn(QStringLiteral("levels"), text,
                   r.longName()
                       + QStringLiteral("levels=\"%1\" is neither auto nor LOW,HIGH with 0 <= LOW "
                                        "< HIGH <= %2; levels are set automatically")
                             .arg(text)
                             .arg(GrayLevels::MaxValue));
    }
}
