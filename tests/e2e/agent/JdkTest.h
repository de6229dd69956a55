// Shared by the tests that run tiagent in each JDK of this machine: the JDKs,
// a fixture with the JDK's home and a private working directory, and the
// front end's message that sets the session configuration.
#ifndef KVR_TESTS_E2E_AGENT_JDKTEST_H
#define KVR_TESTS_E2E_AGENT_JDKTEST_H

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "JvmProcess.h"
#include "SessionRequest.h"

namespace jvmtest {

// The JDKs below /usr/lib/jvm that the tests run in.
const char *const JDKS[] = {"java-17-openjdk-amd64", "temurin-25-jdk-amd64"};

// "OpenJdk17" or "Temurin25" in test names.
inline std::string jdkTestName(const testing::TestParamInfo<const char *> &info)
{
    return std::string(info.param).rfind("java-17", 0) == 0 ? std::string("OpenJdk17") : std::string("Temurin25");
}

// A test in one JDK (the parameter names it): skipped when the JDK is not
// installed; work is private to the test, tmp below it.
class JdkTest : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        jdk = std::string("/usr/lib/jvm/") + GetParam();
        if (!fileExists(jdk + "/bin/java"))
            GTEST_SKIP() << "no JDK at " << jdk;
        ASSERT_FALSE(work.path.empty());
        tmp = work / "tmp";
        mkdir(tmp.c_str(), 0700);
    }

    // Whether the test goes on after JdkTest::SetUp().
    bool ready() const { return !IsSkipped() && !HasFatalFailure(); }

    std::string jdk;
    WorkDir work;
    std::string tmp;
};

// Command 1 with a session configuration (session 5) and no scripts.
inline std::vector<uint8_t> setParameters(const std::string &xml) { return sessionRequest(xml, 5); }

} // namespace jvmtest

#endif
