#ifndef TESSERA_TESTS_JDKCORPUS_H
#define TESSERA_TESTS_JDKCORPUS_H

#include <string>
#include <vector>

// Class files of the JDKs on this machine, extracted once into the build tree
// (KVR_BINARY_DIR/jdk-classes/<name>) by the JDK's own jimage.
struct JdkImage {
    std::string name;
    std::string home;
};

// The JDKs whose module image exists here.
std::vector<JdkImage> jdkImages();
// Directory of the extracted classes ("" when extraction failed). Safe when
// several test processes ask at once.
std::string extractJdkClasses(const JdkImage &jdk);
// Every .class file below dir, sorted.
std::vector<std::string> listClassFiles(const std::string &dir);
// Whole file as bytes; false when unreadable.
bool readFileBytes(const std::string &path, std::vector<unsigned char> &out);

#endif
