#ifndef AGENT_CLASSDECISIONSVM_H
#define AGENT_CLASSDECISIONSVM_H

#include <string>
#include <vector>

// What the class decisions ask of the running VM when they retransform loaded
// classes (a configuration update, attaching). The JVMTI implementation lives
// at the interface edge; tests give a fake. Every call runs on the thread that
// applies the configuration, inside the class lock.
class ClassDecisionsVm {
public:
    // JVMTI class status bits and the error that means the VM is out of memory.
    static const int STATUS_PREPARED = 2;
    static const int STATUS_ERROR = 8;
    static const int ERROR_OUT_OF_MEMORY = 110;

    struct LoadedClass {
        void *handle = nullptr;   // the VM's reference; valid until endLoadedClasses
        std::string slashName;    // internal name; empty when the VM gave no signature
        bool modifiable = false;  // the VM lets it be retransformed
        bool isArray = false;
        int status = 0;           // STATUS_* bits
    };

    struct Method {
        std::string name;
        std::string signature;
        int access = 0;
        std::vector<unsigned char> bytecodes; // empty when the VM cannot give them
    };

    virtual ~ClassDecisionsVm() = default;

    // Every loaded class; false (after printing "ERROR: could not get loaded
    // classes.") when the VM cannot list them. The references stay valid until
    // endLoadedClasses.
    virtual bool getLoadedClasses(std::vector<LoadedClass> &classes) = 0;
    virtual void endLoadedClasses() = 0;
    // The raw constant pool (count = constant_pool_count, entries without the
    // count); false when the VM cannot give it.
    virtual bool getConstantPool(void *handle, int *count, std::vector<unsigned char> &bytes) = 0;
    // The methods of a class, with their bytecodes when asked; false when
    // unavailable.
    virtual bool getMethods(void *handle, bool withBytecodes, std::vector<Method> &methods) = 0;
    // Retransforms the classes; a JVMTI error code (0 on success).
    virtual int retransform(const std::vector<void *> &classes) = 0;
    // Bytes still free for class metadata; -1 when the VM does not say.
    virtual long long getAvailablePermGen() = 0;
    // Registers the class with its load information (first update after attach).
    virtual void addLoadInformation(void *handle) = 0;
    // The component type the agent's Java side finds on the class (0 none);
    // a type found is given to the class's record (dotted name).
    virtual int checkAnnotatedComponent(void *handle, const std::string &dottedName) = 0;
    // Hands the class to the agent's Java side as a component class.
    virtual void registerClass(void *handle) = 0;
    // Tells the agent's Java side that the configuration changed.
    virtual void configurationChanged() = 0;
};

#endif
