#include "ui/progressmapping.h"

#include <QtGlobal>

#include <cmath>

namespace ProgressMapping {

std::optional<int> percent(double per)
{
    if (!std::isfinite(per))
        return std::nullopt;
    // Bounded before the conversion: a double beyond int's range has no int value at all.
    return int(qBound(0.0, per, 100.0));
}

int shownValue(bool downloading, int p)
{
    const int bounded = qBound(0, p, 100);
    return downloading ? int(bounded * 0.8) : int(bounded * 0.2 + 80.0);
}

} // namespace ProgressMapping
