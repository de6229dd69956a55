#ifndef TESSERA_CLASSFILE_H
#define TESSERA_CLASSFILE_H

#include <vector>

#include "structures/AbstractStructureWithAttributes.h"
#include "structures/HashMap.h"

namespace Tessera {

class CPInfo;
class ConstantUtf8Info;
class FieldInfo;
class MethodInfo;

// One class file in memory. Most text, code and raw attribute bodies point into
// the bytes it was read from, which must outlive it. Reading sets the error flag
// on bad input and stops; a class with the flag set must be left unchanged.
class ClassFile : public AbstractStructureWithAttributes {
    TESSERA_CLASS(ClassFile, AbstractStructureWithAttributes)
    TESSERA_POOLED(ClassFile)
public:
    ClassFile();
    ~ClassFile() override;
    void initInstance();
    void release();

    // Head then tail.
    void read(DataInput *input) override;
    void write(DataOutput *output) override;
    // Magic, versions, constant pool, access flags, this and super class, interfaces.
    void readHead(DataInput *input);
    // Skips the fields, reads method names and code places, and collects the
    // types of the class's runtime-visible annotations.
    void readMethodNamesAndAnnotations(DataInput *input);
    // Registers the pool in the index map, then fields, methods (again, when the
    // names pass made them) and class attributes.
    void readTail(DataInput *input);
    void readConstantPool(DataInput *input);
    void writeHead(DataOutput *output);
    void writeTail(DataOutput *output);
    void writeConstantPool(DataOutput *output);

    // Frees the pool entries, fields and methods and empties the lists.
    void deleteAll();

    int getMinorVersion() const { return minorVersion; }
    void setMinorVersion(int v) { minorVersion = v; }
    int getMajorVersion() const { return majorVersion; }
    void setMajorVersion(int v) { majorVersion = v; }
    int getOriginalMajorVersion() const { return originalMajorVersion; }
    // For classes built in memory rather than read.
    void setOriginalMajorVersion(int v) { originalMajorVersion = v; }
    int getAccessFlags() const { return accessFlags; }
    void setAccessFlags(int f) { accessFlags = f; }
    int getThisClass() const { return thisClass; }
    void setThisClass(int i) { thisClass = i; }
    int getSuperClass() const { return superClass; }
    void setSuperClass(int i) { superClass = i; }
    std::vector<int> &getInterfaces() { return interfaces; }
    std::vector<FieldInfo *> &getFields() { return fields; }
    std::vector<MethodInfo *> &getMethods() { return methods; }
    std::vector<CPInfo *> &getConstantPool() { return constantPool; }
    std::vector<ConstantUtf8Info *> &getAnnotationTypes() { return annotationTypes; }
    const char *getFormattedAccessFlags() const;
    void checkMajorVersion(int) {}

    bool hasError() const { return error; }
    void setError() { error = true; }

    // Valid when 0 < i < pool size; otherwise logs "invalid constant pool index %d"
    // and sets the error flag.
    bool checkValidConstantPoolIndex(int i);
    // The entry at a checked index (null for the second slot of a Long or Double).
    CPInfo *getConstantPoolEntry(int i, const char *typeName = nullptr);
    // The Utf8 entry at a checked index; an entry of another kind is an error too
    // (logged, error flag, null).
    ConstantUtf8Info *getConstantPoolUtf8Entry(int i);
    // The Utf8 entry at i, or null, without logging anything.
    ConstantUtf8Info *findUtf8(int i) const;
    const char *getConstantPoolEntryName(int i);
    // Index of a registered entry equal to probe, or -1.
    int getConstantPoolIndex(CPInfo *probe);
    void registerConstantPoolEntry(int i);
    void unregisterConstantPoolEntry(int i);
    // Index of the Utf8 "StackMapTable" / Class "java/lang/Throwable", added when
    // missing; cached.
    int getStackMapTableNameIndex();
    int getThrowableClassIndex();

    // This class's internal name and its length (null and 0 when unknown).
    const char *getClassName(int *length) const;

private:
    bool readAnnotations(DataInput *input, int end);

    int minorVersion = 0;
    int majorVersion = 0;
    int originalMajorVersion = 0;
    int accessFlags = 0;
    int thisClass = 0;
    int superClass = 0;
    std::vector<CPInfo *> constantPool;
    ts_helper::HashMap<CPInfo, int> *indexMap;
    // The index map is made on its first use: a class that is only read and
    // written back never needs it.
    bool indexMapBuilt = false;
    void buildIndexMap();
    std::vector<int> interfaces;
    std::vector<FieldInfo *> fields;
    std::vector<MethodInfo *> methods;
    std::vector<ConstantUtf8Info *> annotationTypes;
    bool error = false;
    int stackMapTableNameIndex = -1;
    int throwableClassIndex = -1;
};

} // namespace Tessera

#endif
