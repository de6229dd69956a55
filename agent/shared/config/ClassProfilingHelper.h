#ifndef KVR_AGENT_SHARED_CONFIG_CLASSPROFILINGHELPER_H
#define KVR_AGENT_SHARED_CONFIG_CLASSPROFILINGHELPER_H

#include <unordered_set>
#include <vector>

// The rules that decide from a class name alone whether a class is filtered, view-filtered or
// never instrumented, and which array type a class name stands for. Pure functions: the
// registry applies them with its own filter lists and switches.
class ClassProfilingHelper {
public:
    // Array types of class names.
    static constexpr int TYPE_OBJECT = 2;
    static constexpr int TYPE_OBJECT_ARRAY = 3;
    static constexpr int TYPE_BOOLEAN_ARRAY = 4;
    static constexpr int TYPE_BYTE_ARRAY = 5;
    static constexpr int TYPE_CHAR_ARRAY = 6;
    static constexpr int TYPE_SHORT_ARRAY = 7;
    static constexpr int TYPE_INT_ARRAY = 8;
    static constexpr int TYPE_LONG_ARRAY = 9;
    static constexpr int TYPE_FLOAT_ARRAY = 10;
    static constexpr int TYPE_DOUBLE_ARRAY = 11;

    // Whether `name` (not null) is filtered by `count` entries of `filters` (null entries are
    // skipped). An entry beginning with '-' excludes; when the first entry excludes, a name that
    // no entry matches is filtered. The last matching entry decides; `invert` negates the
    // answer. With a non-zero `separator`, a name without it (default package) is not filtered.
    // Without `wildcard` an entry is a prefix; with it, the whole name must match ('?' one
    // character, '*' any run).
    static bool isFilteredClassName(const char *name, const char *const *filters, int count, char separator,
                                    bool invert, bool wildcard);
    static bool matches(const char *pattern, const char *name, bool wildcard);

    // Classes the agent never instruments, by slash name: its own classes, the JDK's (unless
    // told to instrument them) and, when attached to a VM that shares classes, the platform's.
    static bool isHardFilteredClass(const char *slashName, bool attached, bool sharing, bool instrumentJre);
    // Whether the first `len` characters of `name` and `prefix` agree ('.' and '/' count as the
    // same character), or both end together before `len`.
    static bool isEqualClassName(const char *name, const char *prefix, int len);
    // The applet runtime's main class, slash or dotted.
    static bool isSpecialMainClass(const char *name);
    // Classes with a main method that never count as the application's main class.
    static bool isMainClassException(const char *name);
    // No class is filtered for the Mac's sake any more; always false.
    static bool isMacFilteredClass(const char *name);
    // The candidate's access flags without final (0x10), synchronized (0x20) and bridge (0x80)
    // equal `access`, and name and signature are equal in length and bytes.
    static bool isMethodEqual(const char *name, const char *signature, int access, const char *candidateName,
                              int nameLength, const char *candidateSignature, int sigLength, int candidateAccess);
    // One of COMPONENT_CLASSES (slash names).
    static bool isComponentClass(const char *slashName);
    // One of COMPONENT_MARKER_METHODS and public (access exactly 1 after isMethodEqual's masking).
    static bool isComponentMarkerMethod(const char *name, int nameLength, const char *signature, int sigLength,
                                        int access);
    // The component type a class annotation descriptor stands for (6 Stateful, 7 Stateless,
    // 8 MessageDriven, 9 Entity), 0 for any other text. `length` -1: NUL-terminated.
    static int getAnnotationComponentType(const char *descriptor, int length);

    struct MemberName {
        const char *name;
        const char *signature;
    };
    static const int NUM_COMPONENT_CLASSES = 2;
    static const char *const COMPONENT_CLASSES[NUM_COMPONENT_CLASSES];
    static const int NUM_COMPONENT_MARKER_METHODS = 3;
    static const MemberName COMPONENT_MARKER_METHODS[NUM_COMPONENT_MARKER_METHODS];

    // A raw constant pool as the VM hands it out (the entries without the count; `count` is the
    // class file's constant_pool_count, one more than the highest index). Fills `offsets` with
    // the offset of each index's entry in `bytes` (-1 for index 0 and the second slot of a Long
    // or Double). Returns false, after printing why, for an unknown tag ("invalid constant pool
    // entry with unknown tag %d") or an entry that runs past `length` ("constant pool ends before
    // entry %d of %d").
    static bool indexRawConstantPool(int count, int length, const unsigned char *bytes, std::vector<int> &offsets);
    // Adds the NameAndType index of every Methodref (tag 10) of a raw constant pool to `set`.
    // False when the pool cannot be walked (see indexRawConstantPool).
    static bool addMethodRefs(int count, int length, const unsigned char *bytes, std::unordered_set<int> &set);

    // 2 for a class, 3 for arrays of objects or arrays, 4 to 11 for arrays of boolean, byte,
    // char, short, int, long, float, double (the character after the '[').
    static int getArrayTypeFromName(const char *name);
    // As getArrayTypeFromName, except that every array name whose length is not 2 gives 3.
    static int getTypeFromName(const char *name);
};

#endif
