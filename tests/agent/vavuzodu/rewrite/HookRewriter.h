#ifndef TESSERA_TESTS_HOOKREWRITER_H
#define TESSERA_TESTS_HOOKREWRITER_H

#include <string>
#include <vector>

// Puts calls of static hooks of hookClass into every method that has code:
// enter(SS)V at entry (not in constructors), exit(SS)V before every return and
// athrow, and (not in constructors) a catch-all handler that calls exit(SS)V and
// rethrows, the way the profiling agents instrument methods.
struct HookRewriteOptions {
    std::string hookClass = "VerifyHook";
    // Drop the StackMapTable of every rewritten method: the result must then fail
    // verification.
    bool dropFrames = false;
};

struct HookRewriteResult {
    bool ok = false;                     // the class was read and written
    std::string error;                   // why not
    int methods = 0;                     // methods with code
    int rewritten = 0;                   // of those, rewritten
    std::vector<std::string> refused;    // "name descriptor: error n" of methods left unchanged
    std::vector<unsigned char> bytes;    // the rewritten class
};

HookRewriteResult rewriteClassWithHooks(const std::vector<unsigned char> &original, const HookRewriteOptions &options);

#endif
