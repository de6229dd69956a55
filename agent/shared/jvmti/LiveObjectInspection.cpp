#include "LiveObjectInspection.h"

#include <jvmti.h>

#include <cstring>
#include <vector>

#include "ClassData.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "HeapDumpRecords.h"
#include "InternalMonitor.h"
#include "JniLocalFrame.h"
#include "JvmtiBuffer.h"
#include "LiveClassProfilingHelper.h"
#include "LiveClassProfilingSession.h"
#include "LiveHeapdump.h"
#include "LiveProfiling.h"
#include "MessageUtil.h"
#include "ProfilingSession.h"
#include "SessionLock.h"

namespace {

const uint32_t KIND_STATIC_FIELDS = 1;
const uint32_t KIND_INSTANCE_FIELDS = 2;

// The class record `id` names, when the agent has one.
ClassData *knownClass(void *id)
{
    LiveClassProfilingSession *classes = LiveClassProfilingHelper::getSession();
    if (id == nullptr || classes == nullptr)
        return nullptr;
    SessionLock lock(classes->getProfilingSession(), IM_CLASS);
    for (ClassData *c : classes->getClasses())
        if (c == id)
            return c;
    return nullptr;
}

// The live object with JVMTI tag `tag` as a local reference; null when it is gone.
jobject objectWithTag(jlong tag)
{
    if (tag == 0)
        return nullptr;
    jint count = 0;
    JvmtiBuffer<jobject> objects;
    if (LiveProfiling::instance().jvmti->GetObjectsWithTags(1, &tag, &count, objects.out(), nullptr) !=
            JVMTI_ERROR_NONE ||
        count < 1)
        return nullptr;
    return objects.get()[0];
}

// The object that the last dump wrote as `id`.
jobject objectOfDumpId(uint32_t id)
{
    jlong tag = 0;
    return LiveHeapdump::tagOfDumpId(id, &tag) ? objectWithTag(tag) : nullptr;
}

jclass classObjectOf(ClassData *classData)
{
    return classData != nullptr ? static_cast<jclass>(objectWithTag(classData->getClassTag())) : nullptr;
}

// Floats and doubles are sent as Float.floatToIntBits and Double.doubleToLongBits give them.
struct BitsMethods {
    jclass floatClass = nullptr;
    jmethodID floatToIntBits = nullptr;
    jclass doubleClass = nullptr;
    jmethodID doubleToLongBits = nullptr;
};

const BitsMethods &bitsMethods(JNIEnv *env)
{
    static BitsMethods methods;
    if (methods.floatToIntBits != nullptr)
        return methods;
    jclass f = env->FindClass("java/lang/Float");
    jclass d = f != nullptr ? env->FindClass("java/lang/Double") : nullptr;
    if (f == nullptr || d == nullptr) {
        env->ExceptionClear();
        return methods;
    }
    methods.floatClass = static_cast<jclass>(env->NewGlobalRef(f));
    methods.doubleClass = static_cast<jclass>(env->NewGlobalRef(d));
    methods.floatToIntBits = env->GetStaticMethodID(f, "floatToIntBits", "(F)I");
    methods.doubleToLongBits = env->GetStaticMethodID(d, "doubleToLongBits", "(D)J");
    env->ExceptionClear();
    return methods;
}

void writeFloat(DataWriter *writer, JNIEnv *env, jfloat value)
{
    const BitsMethods &m = bitsMethods(env);
    jint bits = 0;
    if (m.floatToIntBits != nullptr)
        bits = env->CallStaticIntMethod(m.floatClass, m.floatToIntBits, value);
    writer->writeU4(static_cast<uint32_t>(bits));
}

void writeDouble(DataWriter *writer, JNIEnv *env, jdouble value)
{
    const BitsMethods &m = bitsMethods(env);
    jlong bits = 0;
    if (m.doubleToLongBits != nullptr)
        bits = env->CallStaticLongMethod(m.doubleClass, m.doubleToLongBits, value);
    writer->writeJLong(bits);
}

// One field's value by its type code; reference fields write nothing.
void writeField(DataWriter *writer, JNIEnv *env, const FieldRecord &field, jobject object, jclass klass)
{
    jfieldID id = static_cast<jfieldID>(field.fieldId);
    bool isStatic = object == nullptr;
    switch (field.type) {
    case ClassData::FIELD_TYPE_BOOLEAN:
        writer->writeByte(isStatic ? env->GetStaticBooleanField(klass, id) : env->GetBooleanField(object, id));
        break;
    case ClassData::FIELD_TYPE_BYTE:
        writer->writeByte(static_cast<uint8_t>(isStatic ? env->GetStaticByteField(klass, id) : env->GetByteField(object, id)));
        break;
    case ClassData::FIELD_TYPE_CHAR:
        writer->writeU2(isStatic ? env->GetStaticCharField(klass, id) : env->GetCharField(object, id));
        break;
    case ClassData::FIELD_TYPE_SHORT:
        writer->writeU2(static_cast<uint16_t>(isStatic ? env->GetStaticShortField(klass, id) : env->GetShortField(object, id)));
        break;
    case ClassData::FIELD_TYPE_INT:
        writer->writeU4(static_cast<uint32_t>(isStatic ? env->GetStaticIntField(klass, id) : env->GetIntField(object, id)));
        break;
    case ClassData::FIELD_TYPE_LONG:
        writer->writeJLong(isStatic ? env->GetStaticLongField(klass, id) : env->GetLongField(object, id));
        break;
    case ClassData::FIELD_TYPE_FLOAT:
        writeFloat(writer, env, isStatic ? env->GetStaticFloatField(klass, id) : env->GetFloatField(object, id));
        break;
    case ClassData::FIELD_TYPE_DOUBLE:
        writeDouble(writer, env, isStatic ? env->GetStaticDoubleField(klass, id) : env->GetDoubleField(object, id));
        break;
    default:
        break;
    }
}

// The array type code (4-11) of a primitive array object, 0 for anything else.
int arrayTypeOf(JNIEnv *env, jobject object)
{
    jclass klass = env->GetObjectClass(object);
    JvmtiBuffer<char> signature;
    if (klass == nullptr ||
        LiveProfiling::instance().jvmti->GetClassSignature(klass, signature.out(), nullptr) != JVMTI_ERROR_NONE)
        return 0;
    const char *s = signature.get();
    if (s[0] != '[' || s[1] == '\0' || s[2] != '\0')
        return 0;
    int type = heapDumpArrayTypeOfSignature(s[1]);
    return type >= HD_BOOLEAN_ARRAY ? type : 0;
}

// The first `count` elements of `array` through the JNI region getter of its type.
template <class T, class A>
std::vector<T> arrayRegion(JNIEnv *env, jarray array, jsize count, void (JNIEnv::*get)(A, jsize, jsize, T *))
{
    std::vector<T> values(static_cast<size_t>(count));
    if (count > 0)
        (env->*get)(static_cast<A>(array), 0, count, values.data());
    return values;
}

// U4 length and the first elements of a primitive array.
void writeArray(DataWriter *writer, JNIEnv *env, jarray array, int type)
{
    jsize length = env->GetArrayLength(array);
    writer->writeU4(static_cast<uint32_t>(length));
    jsize count = length < static_cast<jsize>(HD_MAX_ARRAY_VALUES) ? length : static_cast<jsize>(HD_MAX_ARRAY_VALUES);
    switch (type) {
    case HD_BOOLEAN_ARRAY:
        for (jboolean v : arrayRegion(env, array, count, &JNIEnv::GetBooleanArrayRegion))
            writer->writeByte(v);
        break;
    case HD_BYTE_ARRAY:
        for (jbyte v : arrayRegion(env, array, count, &JNIEnv::GetByteArrayRegion))
            writer->writeByte(static_cast<uint8_t>(v));
        break;
    case HD_CHAR_ARRAY:
        for (jchar v : arrayRegion(env, array, count, &JNIEnv::GetCharArrayRegion))
            writer->writeU2(v);
        break;
    case HD_SHORT_ARRAY:
        for (jshort v : arrayRegion(env, array, count, &JNIEnv::GetShortArrayRegion))
            writer->writeU2(static_cast<uint16_t>(v));
        break;
    case HD_INT_ARRAY:
        for (jint v : arrayRegion(env, array, count, &JNIEnv::GetIntArrayRegion))
            writer->writeU4(static_cast<uint32_t>(v));
        break;
    case HD_LONG_ARRAY:
        for (jlong v : arrayRegion(env, array, count, &JNIEnv::GetLongArrayRegion))
            writer->writeJLong(v);
        break;
    case HD_FLOAT_ARRAY:
        for (jfloat v : arrayRegion(env, array, count, &JNIEnv::GetFloatArrayRegion))
            writeFloat(writer, env, v);
        break;
    default:
        for (jdouble v : arrayRegion(env, array, count, &JNIEnv::GetDoubleArrayRegion))
            writeDouble(writer, env, v);
        break;
    }
}

} // namespace

bool LiveObjectInspection::handle(uint32_t command, DataReader *reader, DataWriter *writer, JNIEnv *env)
{
    switch (command) {
    case 68:
        handleCmdPrimitiveData(reader, writer, env);
        return true;
    default:
        return false;
    }
}

void LiveObjectInspection::handleCmdPrimitiveData(DataReader *reader, DataWriter *writer, JNIEnv *env)
{
    int32_t id = reader->readS4(0);
    uint32_t kind = reader->readU4(0);
    void *classId = reader->readID(nullptr);
    writer->writeU4(static_cast<uint32_t>(id));
    writer->writeU4(kind);
    writer->writeID(classId);
    if (reader->getError()) {
        MessageUtil::message("bad primitive data request");
        writer->writeByte(0);
        return;
    }
    JniLocalFrame frame(env, 8);
    if (kind == KIND_STATIC_FIELDS) {
        ClassData *classData = knownClass(classId);
        jclass klass = classObjectOf(classData);
        if (klass == nullptr) {
            writer->writeByte(0);
            return;
        }
        writer->writeByte(1);
        for (const FieldRecord &field : classData->getStaticFields())
            writeField(writer, env, field, nullptr, klass);
        return;
    }
    jobject object = objectOfDumpId(static_cast<uint32_t>(id));
    if (object == nullptr) {
        writer->writeByte(0);
        return;
    }
    if (kind == KIND_INSTANCE_FIELDS) {
        // The fields are read only from an object of the named class.
        ClassData *classData = knownClass(classId);
        jclass klass = classObjectOf(classData);
        if (klass == nullptr || !env->IsInstanceOf(object, klass)) {
            writer->writeByte(0);
            return;
        }
        writer->writeByte(1);
        for (ClassData *c = classData; c != nullptr; c = c->getSuperClassClassData())
            for (const FieldRecord &field : c->getInstanceFields())
                writeField(writer, env, field, object, nullptr);
        return;
    }
    // Any other kind is an array type: only an array of that type is read.
    if (kind < HD_BOOLEAN_ARRAY || kind > HD_DOUBLE_ARRAY || arrayTypeOf(env, object) != static_cast<int>(kind)) {
        writer->writeByte(0);
        return;
    }
    writer->writeByte(1);
    writeArray(writer, env, static_cast<jarray>(object), static_cast<int>(kind));
}
