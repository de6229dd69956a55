#ifndef AGENT_JVMPI_TYPEUTIL_H
#define AGENT_JVMPI_TYPEUTIL_H

// Type codes of the VM's records in the agent's numbering.
class TypeUtil {
public:
    // The agent's type code of a JVMPI array code (0 object, 2 object array,
    // 4 to 11 primitive arrays); 0 for codes it does not know.
    static int jvmpiToOrvaneArray(int jvmpiType);
    // Bytes of a value of a JVMPI type in a dump record (a reference is
    // pointer-wide); 0 for types it does not know.
    static int getTypeLength(int jvmpiType);
};

#endif
