#pragma once

#include <optional>

// How the workers' percentages become the one progress bar: the download fills 0 to 80, the
// install 80 to 100.
namespace ProgressMapping {

// The whole percentage a worker's report stands for, truncated toward zero and held to 0..100;
// none for a report that is not a number or is infinite, which the window leaves unshown.
std::optional<int> percent(double per);

// The bar value for the whole percentage p: p * 0.8 while downloading, otherwise p * 0.2 + 80,
// both truncated toward zero.
int shownValue(bool downloading, int p);

} // namespace ProgressMapping
