#ifndef KVR_AGENT_SHARED_CONFIG_FILTERCONFIG_H
#define KVR_AGENT_SHARED_CONFIG_FILTERCONFIG_H

#include <string>
#include <vector>

// The package filters of a session configuration: dotted class-name prefixes, an entry that
// begins with '-' being of the other kind than the list, and whether the list is inclusive.
class FilterConfig {
public:
    FilterConfig() = default;

    // Adds `text` without its leading and trailing white space; an empty text is ignored.
    void addFilter(const std::string &text);
    bool isFilterInclusive() const { return filterInclusive_; }
    void setFilterInclusive(bool inclusive) { filterInclusive_ = inclusive; }
    const std::vector<std::string> &getFilters() const { return filters_; }

private:
    std::vector<std::string> filters_;
    bool filterInclusive_ = false;
};

#endif
