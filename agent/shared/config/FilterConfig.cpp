#include "FilterConfig.h"

namespace {

const char *const WHITE_SPACE = " \t\r\n\f\v";

} // namespace

void FilterConfig::addFilter(const std::string &text)
{
    size_t first = text.find_first_not_of(WHITE_SPACE);
    if (first == std::string::npos)
        return;
    size_t last = text.find_last_not_of(WHITE_SPACE);
    filters_.push_back(text.substr(first, last - first + 1));
}
