#include "ClassProfilingHelper.h"

#include <cstring>

#include "MessageUtil.h"

namespace {

bool startsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Whole-name match with '?' and '*'. Greedy with one backtrack point: on a mismatch the last
// '*' takes one more character. This finds a match whenever trying every split point would,
// in time proportional to pattern times name at worst.
bool wildcardMatch(const char *pattern, const char *name)
{
    const char *star = nullptr;
    const char *resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            while (*pattern == '*')
                pattern++;
            if (!*pattern)
                return true;
            star = pattern;
            resume = name;
        } else if (*pattern && (*pattern == '?' || *pattern == *name)) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return !*pattern;
}

const char *const HARD_FILTERED[] = {"com/orvane/agent/", "com/orvane/api/", "com/orvane/core/", "apple/",
                                     "sun/reflect/", "sun/misc/"};
const char *const HARD_FILTERED_WHEN_SHARING[] = {"javax/", "sun/", "com/sun/", "org/w3c/dom/", "org/xml/sax/"};

const char *const MAIN_CLASS_EXCEPTIONS[] = {"com/tc/net/NIOWorkarounds", "com.tc.net.NIOWorkarounds",
                                             "com.sun.corba.se.impl.util.JDKBridge",
                                             "com/sun/corba/se/impl/util/JDKBridge", "org.apache.xerces.impl.Constants",
                                             "org/apache/xerces/impl/Constants"};
// JDK classes under sun/ that may still be an application's main class.
const char *const SUN_MAIN_CLASSES[] = {"sun/applet/AppletViewer", "sun.applet.AppletViewer",
                                        "sun/rmi/server/ActivationGroupInit", "sun.rmi.server.ActivationGroupInit"};

struct AnnotationComponent {
    const char *descriptor;
    int type;
};
// Tested in this order.
const AnnotationComponent ANNOTATION_COMPONENTS[] = {{"Ljavax/ejb/Stateful;", 6},
                                                     {"Ljavax/ejb/Stateless;", 7},
                                                     {"Ljavax/ejb/MessageDriven;", 8},
                                                     {"Ljavax/persistence/Entity;", 9}};

bool equalText(const char *text, const char *candidate, int length)
{
    return static_cast<int>(strlen(text)) == length && memcmp(text, candidate, static_cast<size_t>(length)) == 0;
}

// Constant-pool tags and the size of their entries (tag byte included); 0 for Utf8, whose size
// follows from its length field.
int rawEntrySize(int tag)
{
    switch (tag) {
    case 1:
        return 0;
    case 3: // Integer
    case 4: // Float
    case 9: // Fieldref
    case 10: // Methodref
    case 11: // InterfaceMethodref
    case 12: // NameAndType
    case 17: // Dynamic
    case 18: // InvokeDynamic
        return 5;
    case 5: // Long
    case 6: // Double
        return 9;
    case 7: // Class
    case 8: // String
    case 16: // MethodType
    case 19: // Module
    case 20: // Package
        return 3;
    case 15: // MethodHandle
        return 4;
    default:
        return -1;
    }
}

int u2At(const unsigned char *bytes, int offset)
{
    return (bytes[offset] << 8) | bytes[offset + 1];
}

} // namespace

const char *const ClassProfilingHelper::COMPONENT_CLASSES[NUM_COMPONENT_CLASSES] = {
    "javax/servlet/http/HttpServlet", "javax/servlet/jsp/HttpJspPage"};
const ClassProfilingHelper::MemberName ClassProfilingHelper::COMPONENT_MARKER_METHODS[NUM_COMPONENT_MARKER_METHODS] = {
    {"getEJBHome", "()Ljavax/ejb/EJBHome;"},
    {"getEJBLocalHome", "()Ljavax/ejb/EJBLocalHome;"},
    {"remove", "(Ljava/lang/Object;)V"}};

bool ClassProfilingHelper::isEqualClassName(const char *name, const char *prefix, int len)
{
    for (int i = 0; i < len; i++) {
        char a = name[i];
        char b = prefix[i];
        if (a == '\0' || b == '\0')
            return a == b;
        bool separators = (a == '.' || a == '/') && (b == '.' || b == '/');
        if (a != b && !separators)
            return false;
    }
    return true;
}

bool ClassProfilingHelper::isSpecialMainClass(const char *name)
{
    return strcmp(name, "sun/plugin/JavaRunTime") == 0 || strcmp(name, "sun.plugin.JavaRunTime") == 0;
}

bool ClassProfilingHelper::isMainClassException(const char *name)
{
    if (isSpecialMainClass(name))
        return false;
    for (const char *exception : MAIN_CLASS_EXCEPTIONS)
        if (strcmp(name, exception) == 0)
            return true;
    if (!startsWith(name, "sun/") && !startsWith(name, "sun."))
        return false;
    for (const char *allowed : SUN_MAIN_CLASSES)
        if (strcmp(name, allowed) == 0)
            return false;
    return true;
}

bool ClassProfilingHelper::isMacFilteredClass(const char *)
{
    return false;
}

bool ClassProfilingHelper::isMethodEqual(const char *name, const char *signature, int access, const char *candidateName,
                                         int nameLength, const char *candidateSignature, int sigLength,
                                         int candidateAccess)
{
    const int IGNORED_FLAGS = 0x10 | 0x20 | 0x80;
    if ((candidateAccess & ~IGNORED_FLAGS) != access)
        return false;
    return equalText(name, candidateName, nameLength) && equalText(signature, candidateSignature, sigLength);
}

bool ClassProfilingHelper::isComponentClass(const char *slashName)
{
    for (const char *component : COMPONENT_CLASSES)
        if (strcmp(slashName, component) == 0)
            return true;
    return false;
}

bool ClassProfilingHelper::isComponentMarkerMethod(const char *name, int nameLength, const char *signature,
                                                   int sigLength, int access)
{
    const int PUBLIC = 1;
    for (const MemberName &marker : COMPONENT_MARKER_METHODS)
        if (isMethodEqual(marker.name, marker.signature, PUBLIC, name, nameLength, signature, sigLength, access))
            return true;
    return false;
}

int ClassProfilingHelper::getAnnotationComponentType(const char *descriptor, int length)
{
    if (descriptor == nullptr)
        return 0;
    if (length < 0)
        length = static_cast<int>(strlen(descriptor));
    for (const AnnotationComponent &component : ANNOTATION_COMPONENTS)
        if (equalText(component.descriptor, descriptor, length))
            return component.type;
    return 0;
}

bool ClassProfilingHelper::indexRawConstantPool(int count, int length, const unsigned char *bytes,
                                                std::vector<int> &offsets)
{
    offsets.assign(count > 0 ? static_cast<size_t>(count) : 1, -1);
    int offset = 0;
    for (int i = 1; i < count; i++) {
        if (offset >= length) {
            MessageUtil::message("constant pool ends before entry %d of %d", i, count);
            return false;
        }
        int tag = bytes[offset];
        int size = rawEntrySize(tag);
        if (size < 0) {
            MessageUtil::message("invalid constant pool entry with unknown tag %d", tag);
            return false;
        }
        if (size == 0) {
            if (offset + 3 > length) {
                MessageUtil::message("constant pool ends before entry %d of %d", i, count);
                return false;
            }
            size = 3 + u2At(bytes, offset + 1);
        }
        if (offset + size > length) {
            MessageUtil::message("constant pool ends before entry %d of %d", i, count);
            return false;
        }
        offsets[static_cast<size_t>(i)] = offset;
        offset += size;
        // A Long or Double takes two indices; the second has no entry.
        if (tag == 5 || tag == 6)
            i++;
    }
    return true;
}

bool ClassProfilingHelper::addMethodRefs(int count, int length, const unsigned char *bytes, std::unordered_set<int> &set)
{
    std::vector<int> offsets;
    if (!indexRawConstantPool(count, length, bytes, offsets))
        return false;
    for (int offset : offsets) {
        if (offset >= 0 && bytes[offset] == 10)
            set.insert(u2At(bytes, offset + 3));
    }
    return true;
}

bool ClassProfilingHelper::matches(const char *pattern, const char *name, bool wildcard)
{
    if (!wildcard)
        return startsWith(name, pattern);
    return wildcardMatch(pattern, name);
}

bool ClassProfilingHelper::isFilteredClassName(const char *name, const char *const *filters, int count,
                                               char separator, bool invert, bool wildcard)
{
    // The event that runs the AWT event queue stays visible whatever the filters say.
    if (!wildcard &&
        (strcmp(name, "java/awt/event/InvocationEvent") == 0 || strcmp(name, "java.awt.event.InvocationEvent") == 0))
        return false;
    if (separator != '\0' && !strchr(name, separator))
        return false;
    if (!filters)
        return false;
    bool result = false;
    for (int i = 0; i < count; i++) {
        const char *pattern = filters[i];
        if (!pattern)
            continue;
        bool exclusion = pattern[0] == '-';
        if (exclusion)
            pattern++;
        if (i == 0 && exclusion)
            result = true;
        if (*pattern && matches(pattern, name, wildcard))
            result = !exclusion;
    }
    return invert ? !result : result;
}

bool ClassProfilingHelper::isHardFilteredClass(const char *slashName, bool attached, bool sharing, bool instrumentJre)
{
    bool attachedSharing = attached && sharing;
    if (!attachedSharing && startsWith(slashName, "java/awt/event/InvocationEvent"))
        return false;
    for (const char *prefix : HARD_FILTERED)
        if (startsWith(slashName, prefix))
            return true;
    if (!instrumentJre && startsWith(slashName, "java/"))
        return true;
    if (!attachedSharing)
        return false;
    for (const char *prefix : HARD_FILTERED_WHEN_SHARING)
        if (startsWith(slashName, prefix))
            return true;
    return false;
}

int ClassProfilingHelper::getArrayTypeFromName(const char *name)
{
    if (!name || name[0] != '[')
        return TYPE_OBJECT;
    switch (name[1]) {
    case 'Z':
        return TYPE_BOOLEAN_ARRAY;
    case 'B':
        return TYPE_BYTE_ARRAY;
    case 'C':
        return TYPE_CHAR_ARRAY;
    case 'S':
        return TYPE_SHORT_ARRAY;
    case 'I':
        return TYPE_INT_ARRAY;
    case 'J':
        return TYPE_LONG_ARRAY;
    case 'F':
        return TYPE_FLOAT_ARRAY;
    case 'D':
        return TYPE_DOUBLE_ARRAY;
    case 'L':
    case '[':
        return TYPE_OBJECT_ARRAY;
    default:
        return TYPE_OBJECT;
    }
}

int ClassProfilingHelper::getTypeFromName(const char *name)
{
    if (name && name[0] == '[' && strlen(name) != 2)
        return TYPE_OBJECT_ARRAY;
    return getArrayTypeFromName(name);
}
