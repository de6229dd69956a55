#ifndef AGENT_CLASSDATA_H
#define AGENT_CLASSDATA_H

#include <cstdint>
#include <string>
#include <vector>

class ClassProfilingSession;
class DataReader;
class DataWriter;
class MethodDesc;

// One field of a class: static or instance.
struct FieldRecord {
    std::string name;
    std::string signature;
    unsigned char type = 0; // FIELD_TYPE_... from the signature's first character
    int32_t index = 0;      // JVMTI field index, written to snapshots
    void *fieldId = nullptr; // JVMTI field id, never written
};

// Everything the agent knows about one class (also the pseudo classes that
// stand for probes and for class and package nodes). Recorded data refer to
// a class by the identity of its ClassData; the front end receives the
// description once and then only the ID. Owned by the class list of its
// session. Changes that the front end must see clear `sent`.
class ClassData {
public:
    // Field type codes.
    static constexpr int FIELD_TYPE_REFERENCE = 2;
    static constexpr int FIELD_TYPE_BOOLEAN = 4;
    static constexpr int FIELD_TYPE_CHAR = 5;
    static constexpr int FIELD_TYPE_FLOAT = 6;
    static constexpr int FIELD_TYPE_DOUBLE = 7;
    static constexpr int FIELD_TYPE_BYTE = 8;
    static constexpr int FIELD_TYPE_SHORT = 9;
    static constexpr int FIELD_TYPE_INT = 10;
    static constexpr int FIELD_TYPE_LONG = 11;

    // Component types: above PSEUDO_LIMIT a class is a pseudo class.
    static constexpr int COMPONENT_PSEUDO_LIMIT = 49;
    static constexpr int COMPONENT_ANNOTATION = 50;
    static constexpr int COMPONENT_CUMULATION = 80;

    // Referent index values.
    static constexpr int REFERENT_UNKNOWN = -2;
    static constexpr int REFERENT_NONE = -1;

    // Records that stand for what is not an instance of a class, one per
    // type code (numbered by every ClassProfilingSession).
    static constexpr int NON_INSTANCE_CLASS_COUNT = 112;

    // An ordinary class of `session` (may be null).
    ClassData(const char *name, ClassProfilingSession *session);
    // A cleared record without a name (to be read, or a non-instance record).
    ClassData();
    // A class without a session, e.g. a pseudo class.
    ClassData(const char *name, int componentType);
    ClassData(const ClassData &) = delete;
    ClassData &operator=(const ClassData &) = delete;

    // The field type of a signature's first character; 0 for anything else.
    static int fieldTypeFromSignature(char first);
    // Bytes a field of the type takes; 0 for references and unknown types.
    static int fieldTypeLength(int type);
    // The stored array type when it is an array type (3 to 11), else the type
    // from the class name; 2 for null.
    static int getArrayTypeFromClassData(const ClassData *classData);

    // Sets the special-class flags from the name and resets the referent index.
    void checkSpecialClasses();

    const char *getClassName() const { return className.c_str(); }
    const char *getDisplayName() const { return hasDisplay ? displayName.c_str() : nullptr; }
    // Copies the display name; the class pseudo method learns that it has one.
    void setDisplayName(const char *name);
    void setSuperClassClassData(ClassData *super);
    ClassData *getSuperClassClassData() const { return superClass; }
    void setIsUnloaded();
    bool isUnloaded() const { return unloaded; }
    void setComponentType(int type);
    int getComponentType() const { return componentType; }
    bool isPseudoClass() const { return componentType > COMPONENT_PSEUDO_LIMIT; }

    bool getSent() const { return sent; }
    void setSent(bool value) { sent = value; }
    void setIsViewFiltered(bool value) { isViewFiltered = value; }
    // False when `check` is false, else the view-filter flag.
    bool getIsViewFiltered(bool check) const { return check && isViewFiltered; }
    bool getIsAgentClass() const { return isAgentClass; }
    bool getIsInstrumentationCallee() const { return isInstrumentationCallee; }
    bool getIsJavaLangObject() const { return isJavaLangObject; }
    bool getIsJavaLangClass() const { return isJavaLangClass; }
    bool getIsObjectArray() const { return isObjectArray; }
    bool getIsPrimitiveArray() const { return isPrimitiveArray; }
    int getArrayType() const { return arrayType; }
    void setArrayType(int type) { arrayType = type; }
    ClassProfilingSession *getSession() const { return session; }

    long long getClassTag() const { return classTag; }
    void setClassTag(long long tag) { classTag = tag; }
    uint32_t getLoadTime() const { return loadTime; }
    void setLoadTime(uint32_t ms) { loadTime = ms; }
    int getInstanceSize() const { return instanceSize; }
    void setInstanceSize(int size) { instanceSize = size; }
    // The class's JVMTI method ids (opaque here).
    void setMethodIds(std::vector<void *> ids) { methodIds = std::move(ids); }
    const std::vector<void *> &getMethodIds() const { return methodIds; }
    int getNumMethods() const { return static_cast<int>(methodIds.size()); }

    MethodDesc *classMethodDesc = nullptr;
    MethodDesc *packageMethodDesc = nullptr;
    MethodDesc *displayClassMethodDesc = nullptr;
    // The call-tree node current on the thread that prepared the class.
    void *allocationNode = nullptr;
    int fieldIndexBase = 0;
    int interfaceFieldCount = 0;
    int numInterfaces = 0;

    // Field information: add the fields, then calculateReferenceMappings().
    void addField(bool isStatic, const char *name, const char *signature, int32_t index, void *fieldId);
    bool hasFieldInformation() const { return hasFieldInfo; }
    const std::vector<FieldRecord> &getStaticFields() const { return staticFields; }
    const std::vector<FieldRecord> &getInstanceFields() const { return instanceFields; }
    int getNumStaticFields() const { return static_cast<int>(staticFields.size()); }
    int getNumInstanceFields() const { return static_cast<int>(instanceFields.size()); }
    // Marks the field information complete and derives the reference index
    // arrays and data sizes of the fields present.
    void calculateReferenceMappings();
    int getNumStaticFieldReferences() const { return static_cast<int>(staticReferences.size()); }
    int getStaticDataSize() const { return staticDataSize; }
    int getNumInstanceFieldReferences() const { return static_cast<int>(instanceReferences.size()); }
    int getInstanceDataSize() const { return instanceDataSize; }
    // The static field position of static reference i.
    int getIndexStaticReferenceToField(int i) const { return staticReferences.at(static_cast<size_t>(i)); }
    // The total-numbered instance field of total reference i.
    int getIndexTotalInstanceReferenceToField(int i);
    // Totals over the class and its superclasses (own fields first, the
    // superclass's shifted by the number of own instance fields).
    int getTotalInstanceDataSize();
    int getNumTotalInstanceFieldReferences();
    // The position of `fieldIndex` among the total references; -1 when the
    // field is not a reference of this class or its superclasses.
    int getTotalInstanceReferenceIndex(int fieldIndex);
    // The total field index of java.lang.ref.Reference's "referent" in this
    // class, or REFERENT_NONE.
    int getJavaLangRefReferenceReferentIndex();
    bool isFieldReferent(int totalReference);

    // The ClassData record of the class section and of command 60.
    void write(DataWriter *writer) const;
    // Reads a record of a snapshot of `version` after its byte 1 into this
    // cleared record of `owner`: the stored ID now means this record, the
    // descriptors and the superclass are resolved once the reader knows them.
    // False when the stream ended inside the record.
    bool read(DataReader *reader, int version, ClassProfilingSession *owner);

private:
    void initialise(const char *name);
    void calculateTotals();

    uint32_t loadTime = 0;
    long long classTag = 0;
    std::vector<void *> methodIds;
    std::string className;
    std::vector<FieldRecord> staticFields;
    std::vector<FieldRecord> instanceFields;
    ClassData *superClass = nullptr;
    int referentIndex = REFERENT_UNKNOWN;
    std::vector<int> staticReferences;
    int staticDataSize = 0;
    std::vector<int> instanceReferences;
    int instanceDataSize = 0;
    std::vector<int> totalReferences;
    int totalDataSize = 0;
    bool totalsComputed = false;
    bool sent = false;
    bool unloaded = false;
    bool hasFieldInfo = false;
    bool isViewFiltered = false;
    bool isAgentClass = false;
    bool isInstrumentationCallee = false;
    bool isJavaLangObject = false;
    bool isJavaLangClass = false;
    bool isObjectArray = false;
    bool isPrimitiveArray = false;
    int arrayType = 2;
    int instanceSize = 0;
    int componentType = 0;
    ClassProfilingSession *session = nullptr;
    bool hasDisplay = false;
    std::string displayName;
};

// The non-instance records; record i carries type code i once a class
// session exists. They live as long as the process.
extern ClassData g_nonInstanceClassData[ClassData::NON_INSTANCE_CLASS_COUNT];

#endif
