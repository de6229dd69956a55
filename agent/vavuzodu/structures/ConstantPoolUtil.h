#ifndef TESSERA_CONSTANTPOOLUTIL_H
#define TESSERA_CONSTANTPOOLUTIL_H

namespace Tessera {

class ClassFile;
class CPInfo;

// Find-or-add of constant-pool entries: every addition to a pool goes through
// addConstantPoolEntry, which returns the index of an equal registered entry (same
// tag and values) or appends the new one. Each returns the constant-pool index.
class ConstantPoolUtil {
public:
    // Takes ownership of entry: it is freed when an equal one exists.
    static int addConstantPoolEntry(ClassFile *classFile, CPInfo *entry);
    static int addConstantUTF8Info(ClassFile *classFile, const char *text);
    static int addConstantStringInfo(ClassFile *classFile, const char *text);
    static int addConstantClassInfo(ClassFile *classFile, const char *name);
    // The first Class entry named name (scanning from the start), else a new one.
    static int getConstantClassInfo(ClassFile *classFile, const char *name);
    static int addConstantNameAndTypeInfo(ClassFile *classFile, const char *name, const char *descriptor);
    static int addConstantMethodrefInfo(ClassFile *classFile, const char *className, const char *name,
                                        const char *descriptor);
    static int addConstantFieldrefInfo(ClassFile *classFile, const char *className, const char *name,
                                       const char *descriptor);
    static int addConstantIntegerInfo(ClassFile *classFile, int value);
};

} // namespace Tessera

#endif
