#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bytecode/ByteCodeReader.h"
#include "bytecode/ByteCodeWriter.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "structures/MethodInfo.h"
#include "structures/TypedAttributes.h"
#include "support/JdkCorpus.h"

using namespace Tessera;

namespace {

// Writes cf and compares with the original bytes; "" when identical.
std::string writeBack(ClassFile *cf, const std::vector<unsigned char> &bytes)
{
    char *out = nullptr;
    int n = ClassFileWriter::writeToByteArray(&out, cf);
    std::string problem;
    if (n != static_cast<int>(bytes.size()))
        problem = "written " + std::to_string(n) + " bytes instead of " + std::to_string(bytes.size());
    else if (std::memcmp(out, bytes.data(), n) != 0)
        problem = "written bytes differ";
    delete[] out;
    return problem;
}

// Decodes and re-encodes every method's code; "" when all round-trip.
std::string codeRoundTrip(ClassFile *cf)
{
    for (MethodInfo *m : cf->getMethods()) {
        CodeAttribute *code = static_cast<CodeAttribute *>(m->findAttribute(CodeAttribute::CLASS_NAME));
        if (code == nullptr)
            continue;
        const char *bytes;
        int length = code->getCode(&bytes);
        if (m->getCodeStart() != bytes || m->getCodeLength() != length)
            return "names pass saw other code for " + std::string(m->getName(), m->getNameLength());
        std::vector<AbstractInstruction *> *list = ByteCodeReader::readByteCode(bytes, length);
        if (list == nullptr)
            return "code of " + std::string(m->getName(), m->getNameLength()) + " does not decode";
        char *encoded = nullptr;
        int n = ByteCodeWriter::writeByteCode(&encoded, list);
        bool same = n == length && std::memcmp(encoded, bytes, n) == 0;
        delete[] encoded;
        ByteCodeReader::freeInstructions(list);
        if (!same)
            return "code of " + std::string(m->getName(), m->getNameLength()) + " re-encodes differently";
    }
    return "";
}

// Every reading mode on one class; "" when all agree and write back unchanged.
std::string checkClass(const std::vector<unsigned char> &bytes)
{
    int size = static_cast<int>(bytes.size());
    std::string problem;

    ClassFile *full = ClassFileReader::readFromByteArray(bytes.data(), size, nullptr, true, true, nullptr);
    if (full->hasError())
        problem = "full read failed";
    else
        problem = writeBack(full, bytes);

    int headLength = -1;
    ClassFile *staged = ClassFileReader::readFromByteArray(bytes.data(), size, &headLength, true, false, nullptr);
    if (problem.empty() && (staged->hasError() || headLength <= 0))
        problem = "head and names read failed";
    size_t namedMethods = staged->getMethods().size();
    if (problem.empty()) {
        ClassFileReader::readFromByteArray(bytes.data() + headLength, size - headLength, nullptr, false, true, staged);
        if (staged->hasError())
            problem = "tail read after the head failed";
        else if (namedMethods != full->getMethods().size() || staged->getMethods().size() != namedMethods)
            problem = "names pass found another number of methods";
        else
            problem = writeBack(staged, bytes);
    }
    if (problem.empty())
        problem = codeRoundTrip(staged);
    full->freeInstance();
    staged->freeInstance();
    return problem;
}

class ClassFileCorpusTest : public ::testing::TestWithParam<JdkImage> {};

} // namespace

// Every class of the JDK's module image reads in every mode, writes back byte for
// byte and its code decodes and re-encodes unchanged.
TEST_P(ClassFileCorpusTest, EveryClassRoundTrips)
{
    std::string dir = extractJdkClasses(GetParam());
    ASSERT_FALSE(dir.empty()) << "jimage extract failed for " << GetParam().home;
    std::vector<std::string> files = listClassFiles(dir);
    ASSERT_GT(files.size(), 10000u);
    std::vector<std::string> failures;
    std::vector<unsigned char> bytes;
    for (const std::string &f : files) {
        if (!readFileBytes(f, bytes)) {
            failures.push_back(f + ": unreadable");
            continue;
        }
        std::string problem = checkClass(bytes);
        if (!problem.empty())
            failures.push_back(f + ": " + problem);
    }
    std::string named;
    for (size_t i = 0; i < failures.size() && i < 50; i++)
        named += "\n  " + failures[i];
    EXPECT_EQ(0u, failures.size()) << failures.size() << " of " << files.size() << " classes failed:" << named;
    RecordProperty("classes", static_cast<int>(files.size()));
}

INSTANTIATE_TEST_SUITE_P(Jdk, ClassFileCorpusTest, ::testing::ValuesIn(jdkImages()),
                         [](const ::testing::TestParamInfo<JdkImage> &info) {
                             std::string n = info.param.name;
                             for (char &c : n)
                                 if (c == '-')
                                     c = '_';
                             return n;
                         });
