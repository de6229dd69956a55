// What the Java harnesses print through RewrittenClasses.loadEach, one line per
// class: "OK name" or "FAIL name Error: message".
#ifndef TESSERA_TESTS_REWRITTENCLASSES_H
#define TESSERA_TESTS_REWRITTENCLASSES_H

#include <map>
#include <sstream>
#include <string>

// Class name (dots) -> "OK" or "<exception>: <message>", from the lines before
// the hooks' report ("=== HOOKS") if there is one.
inline std::map<std::string, std::string> loadResults(const std::string &output)
{
    std::map<std::string, std::string> results;
    std::istringstream lines(output.substr(0, output.find("=== HOOKS\n")));
    std::string line;
    while (std::getline(lines, line)) {
        bool ok = line.compare(0, 3, "OK ") == 0;
        if (!ok && line.compare(0, 5, "FAIL ") != 0)
            continue;
        size_t start = ok ? 3 : 5;
        size_t end = line.find(' ', start);
        std::string name = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        results[name] = ok ? "OK" : line.substr(end + 1);
    }
    return results;
}

// The exception's class of a "FAIL" result.
inline std::string exceptionOf(const std::string &result) { return result.substr(0, result.find(':')); }

#endif
