#include "LiveObjectInspection.h"

#include <jvmti.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
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

// The methods of the evaluation class, looked up once.
struct EvaluationMethods {
    jclass evaluation = nullptr;
    jmethodID getToString = nullptr;
    jmethodID evalBooleanExpression = nullptr;
    jmethodID runStringScript = nullptr;
    jmethodID addScriptClass = nullptr;
    jmethodID evalToString = nullptr;
    jmethodID getStringParameters = nullptr;
    jmethodID evalPrimitive = nullptr;
    jmethodID getPrimitiveParameters = nullptr;
    jmethodID getLastException = nullptr;
};

// Null (logged once) when the evaluation class or one of its methods is missing.
const EvaluationMethods *evaluationMethods(JNIEnv *env)
{
    static EvaluationMethods methods;
    static bool looked = false;
    static bool complete = false;
    if (looked)
        return complete ? &methods : nullptr;
    looked = true;
    jclass found = env->FindClass("com/orvane/agent/util/Evaluation");
    if (found == nullptr) {
        env->ExceptionClear();
        MessageUtil::message("cannot find com/orvane/agent/util/Evaluation");
        return nullptr;
    }
    methods.evaluation = static_cast<jclass>(env->NewGlobalRef(found));
    env->DeleteLocalRef(found);
    const struct {
        jmethodID *method;
        const char *name;
        const char *signature;
    } wanted[] = {
        {&methods.getToString, "getToString", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/String;"},
        {&methods.evalBooleanExpression, "evalBooleanExpression", "(Ljava/lang/Object;Ljava/lang/Object;)Z"},
        {&methods.runStringScript, "runStringScript", "(Ljava/lang/Object;)Ljava/lang/String;"},
        {&methods.addScriptClass, "addScriptClass", "(ZLjava/lang/String;[B)V"},
        {&methods.evalToString, "evalToString",
         "(Ljava/lang/Object;Lcom/orvane/agent/util/Evaluation$StringParameters;)Z"},
        {&methods.getStringParameters, "getStringParameters",
         "(Ljava/lang/String;IZ)Lcom/orvane/agent/util/Evaluation$StringParameters;"},
        {&methods.evalPrimitive, "evalPrimitive",
         "(Ljava/lang/Object;Lcom/orvane/agent/util/Evaluation$PrimitiveParameters;)Z"},
        {&methods.getPrimitiveParameters, "getPrimitiveParameters",
         "(ILjava/lang/String;Ljava/lang/String;I)Lcom/orvane/agent/util/Evaluation$PrimitiveParameters;"},
        {&methods.getLastException, "getLastException", "()Ljava/lang/String;"},
    };
    for (const auto &w : wanted) {
        *w.method = env->GetStaticMethodID(methods.evaluation, w.name, w.signature);
        if (*w.method == nullptr) {
            env->ExceptionClear();
            MessageUtil::message("cannot find method %s of com/orvane/agent/util/Evaluation", w.name);
            return nullptr;
        }
    }
    complete = true;
    return &methods;
}

// A request string, empty when absent.
std::string readText(DataReader *reader)
{
    std::unique_ptr<char[]> text(reader->readString(nullptr));
    return text != nullptr ? std::string(text.get()) : std::string();
}

// Writes a Java string as the protocol's string.
void writeJavaString(DataWriter *writer, JNIEnv *env, jstring text)
{
    const char *chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
        env->ExceptionClear();
        writer->writeString("");
        return;
    }
    writer->writeString(chars);
    env->ReleaseStringUTFChars(text, chars);
}

// The JVMTI tag an object selector names; 0 when it names nothing the agent knows.
// Selector: byte kind; kind 1: ID of a class record (its class object); kind 0: S4 dump id.
jlong readSelector(DataReader *reader)
{
    int kind = reader->readByte(-1);
    if (kind == 1) {
        ClassData *classData = knownClass(reader->readID(nullptr));
        return classData != nullptr ? classData->getClassTag() : 0;
    }
    uint32_t id = static_cast<uint32_t>(reader->readS4(0));
    jlong tag = 0;
    if (kind != 0 || id == 0 || !LiveHeapdump::tagOfDumpId(id, &tag))
        return 0;
    return tag;
}

// The objects of a request, each with the return ids (or selector positions)
// its results are reported under, in the order the request first named them.
struct Targets {
    std::vector<jlong> tags;
    std::vector<std::vector<jlong>> returnIds;

    void add(jlong tag, jlong returnId)
    {
        if (tag == 0)
            return;
        for (size_t i = 0; i < tags.size(); i++) {
            if (tags[i] == tag) {
                returnIds[i].push_back(returnId);
                return;
            }
        }
        tags.push_back(tag);
        returnIds.push_back({returnId});
    }
};

// U4 n; n × (JLong return id, U4 m, m × selector).
Targets readTagToReturn(DataReader *reader)
{
    Targets targets;
    uint32_t n = reader->readU4(0);
    for (uint32_t i = 0; i < n && !reader->getError(); i++) {
        jlong returnId = reader->readJLong(0);
        uint32_t m = reader->readU4(0);
        for (uint32_t j = 0; j < m && !reader->getError(); j++)
            targets.add(readSelector(reader), returnId);
    }
    return targets;
}

// Classes of a script until a byte 0: string name, U4 size, bytes. Handed
// to the evaluation class; the first one of the request starts the script.
bool readScriptClasses(DataReader *reader, JNIEnv *env, const EvaluationMethods *methods)
{
    bool first = true;
    while (!reader->getError() && reader->readByte(0) != 0) {
        std::string name = readText(reader);
        uint32_t size = reader->readU4(0);
        // A size beyond the request is caught by the reader: at most what it holds is asked for.
        if (size > (1u << 30)) {
            MessageUtil::message("script class %s too large", name.c_str());
            return false;
        }
        std::vector<jbyte> bytes(size);
        if (size > 0 && reader->readFully(bytes.data(), static_cast<int>(size)) != static_cast<int>(size))
            return false;
        if (size == 0 || methods == nullptr)
            continue;
        JniLocalFrame frame(env, 4);
        jstring javaName = env->NewStringUTF(name.c_str());
        jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
        if (javaName == nullptr || array == nullptr) {
            env->ExceptionClear();
            continue;
        }
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(size), bytes.data());
        env->CallStaticVoidMethod(methods->evaluation, methods->addScriptClass, static_cast<jboolean>(first), javaName,
                                  array);
        env->ExceptionClear();
        first = false;
    }
    return !reader->getError();
}

// Calls `evaluate` for each live object of `targets` (inside one local
// frame); it returns false to end the run.
template <class Evaluate>
void forEachLiveObject(JNIEnv *env, const Targets &targets, Evaluate evaluate)
{
    if (targets.tags.empty())
        return;
    JniLocalFrame frame(env, static_cast<jint>(targets.tags.size()) + 8);
    jint count = 0;
    JvmtiBuffer<jobject> objects;
    JvmtiBuffer<jlong> tags;
    if (LiveProfiling::instance().jvmti->GetObjectsWithTags(static_cast<jint>(targets.tags.size()),
                                                            targets.tags.data(), &count, objects.out(),
                                                            tags.out()) != JVMTI_ERROR_NONE)
        return;
    for (jint i = 0; i < count; i++) {
        size_t at = 0;
        while (at < targets.tags.size() && targets.tags[at] != tags.get()[i])
            at++;
        if (at == targets.tags.size())
            continue;
        if (!evaluate(objects.get()[i], targets.returnIds[at]))
            return;
        env->DeleteLocalRef(objects.get()[i]);
    }
}

// Reports each return id once per request: byte 1 and JLong the id.
class Reported {
public:
    // The ids of `returnIds` not reported yet, now marked reported.
    std::vector<jlong> fresh(const std::vector<jlong> &returnIds)
    {
        std::vector<jlong> out;
        for (jlong id : returnIds)
            if (seen.insert(id).second)
                out.push_back(id);
        return out;
    }
    void write(DataWriter *writer, const std::vector<jlong> &returnIds)
    {
        for (jlong id : fresh(returnIds)) {
            writer->writeByte(1);
            writer->writeJLong(id);
        }
    }

private:
    std::unordered_set<jlong> seen;
};

// The text of the last evaluation's exception; empty when none.
std::string lastException(JNIEnv *env, const EvaluationMethods *methods)
{
    jstring text = static_cast<jstring>(env->CallStaticObjectMethod(methods->evaluation, methods->getLastException));
    env->ExceptionClear();
    if (text == nullptr)
        return std::string();
    const char *chars = env->GetStringUTFChars(text, nullptr);
    std::string out = chars != nullptr ? chars : "";
    if (chars != nullptr)
        env->ReleaseStringUTFChars(text, chars);
    env->DeleteLocalRef(text);
    // An exception without a message still ends the run.
    return out.empty() ? std::string("exception") : out;
}

void writeException(DataWriter *writer, const std::string &exception)
{
    writer->writeByte(0);
    if (exception.empty()) {
        writer->writeByte(0);
        return;
    }
    writer->writeByte(1);
    writer->writeString(exception.c_str());
}

// The class and field a field-value evaluation (command 84) reads.
std::mutex fieldRequestLock;
ClassData *fieldRequestClass = nullptr;
std::string fieldRequestName;

// A boolean evaluation of each object, reported under its return ids when true.
template <class Call>
void reportTrue(JNIEnv *env, DataWriter *writer, const Targets &targets, Call call)
{
    Reported reported;
    forEachLiveObject(env, targets, [&](jobject object, const std::vector<jlong> &returnIds) {
        bool result = call(object) != JNI_FALSE;
        env->ExceptionClear();
        if (result)
            reported.write(writer, returnIds);
        return true;
    });
}

} // namespace

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

void LiveObjectInspection::handleCmdToString(DataReader *reader, DataWriter *writer, JNIEnv *env)
{
    Targets targets = readTagToReturn(reader);
    const EvaluationMethods *methods = evaluationMethods(env);
    if (!reader->getError() && methods != nullptr) {
        Reported reported;
        forEachLiveObject(env, targets, [&](jobject object, const std::vector<jlong> &returnIds) {
            jstring text = static_cast<jstring>(
                env->CallStaticObjectMethod(methods->evaluation, methods->getToString, object, nullptr));
            env->ExceptionClear();
            if (text == nullptr)
                return true;
            for (jlong id : reported.fresh(returnIds)) {
                writer->writeByte(1);
                writer->writeJLong(id);
                writeJavaString(writer, env, text);
            }
            env->DeleteLocalRef(text);
            return true;
        });
    }
    writer->writeByte(0);
}

void LiveObjectInspection::handleCmdEvalBooleanExpression(DataReader *reader, DataWriter *writer, JNIEnv *env)
{
    Targets targets = readTagToReturn(reader);
    const EvaluationMethods *methods = evaluationMethods(env);
    std::string exception;
    if (readScriptClasses(reader, env, methods) && methods != nullptr) {
        Reported reported;
        forEachLiveObject(env, targets, [&](jobject object, const std::vector<jlong> &returnIds) {
            bool result =
                env->CallStaticBooleanMethod(methods->evaluation, methods->evalBooleanExpression, object, nullptr) !=
                JNI_FALSE;
            env->ExceptionClear();
            if (result)
                reported.write(writer, returnIds);
            // The first evaluation that failed ends the run.
            exception = lastException(env, methods);
            return exception.empty();
        });
    }
    writeException(writer, exception);
}

void LiveObjectInspection::handleCmdEvalToString(DataReader *reader, DataWriter *writer, JNIEnv *env)
{
    Targets targets = readTagToReturn(reader);
    std::string expression = readText(reader);
    jint mode = static_cast<jint>(reader->readU4(0));
    bool flag = reader->readByte(0) != 0;
    const EvaluationMethods *methods = evaluationMethods(env);
    if (!reader->getError() && methods != nullptr && !expression.empty()) {
        JniLocalFrame frame(env, 4);
        jstring javaExpression = env->NewStringUTF(expression.c_str());
        jobject parameters = javaExpression != nullptr
                                 ? env->CallStaticObjectMethod(methods->evaluation, methods->getStringParameters,
                                                               javaExpression, mode, static_cast<jboolean>(flag))
                                 : nullptr;
        env->ExceptionClear();
        if (parameters != nullptr)
            reportTrue(env, writer, targets, [&](jobject object) {
                return env->CallStaticBooleanMethod(methods->evaluation, methods->evalToString, object, parameters);
            });
    }
    writer->writeByte(0);
    writer->writeByte(0);
}

void LiveObjectInspection::handleCmdEvalPrimitive(DataReader *reader, DataWriter *writer, JNIEnv *env)
{
    Targets targets = readTagToReturn(reader);
    jint type = static_cast<jint>(reader->readU4(0));
    std::string operatorText = readText(reader);
    std::string value = readText(reader);
    jint option = static_cast<jint>(reader->readU4(0));
    ClassData *classData = knownClass(reader->readID(nullptr));
    std::string fieldName = readText(reader);
    const EvaluationMethods *methods = evaluationMethods(env);
    if (!reader->getError() && methods != nullptr && classData != nullptr) {
        {
            std::lock_guard<std::mutex> lock(fieldRequestLock);
            fieldRequestClass = classData;
            fieldRequestName = fieldName;
        }
        JniLocalFrame frame(env, 4);
        jstring javaOperator = env->NewStringUTF(operatorText.c_str());
        jstring javaValue = env->NewStringUTF(value.c_str());
        jobject parameters =
            javaOperator != nullptr && javaValue != nullptr
                ? env->CallStaticObjectMethod(methods->evaluation, methods->getPrimitiveParameters, type, javaOperator,
                                              javaValue, option)
                : nullptr;
        env->ExceptionClear();
        if (parameters != nullptr)
            reportTrue(env, writer, targets, [&](jobject object) {
                return env->CallStaticBooleanMethod(methods->evaluation, methods->evalPrimitive, object, parameters);
            });
        std::lock_guard<std::mutex> lock(fieldRequestLock);
        fieldRequestClass = nullptr;
        fieldRequestName.clear();
    }
    writer->writeByte(0);
    writer->writeByte(0);
}

void LiveObjectInspection::handleCmdStringScript(DataReader *reader, DataWriter *writer, JNIEnv *env)
{
    // Each selector is reported under its position in the request.
    Targets targets;
    uint32_t n = reader->readU4(0);
    for (uint32_t i = 0; i < n && !reader->getError(); i++)
        targets.add(readSelector(reader), static_cast<jlong>(i));
    const EvaluationMethods *methods = evaluationMethods(env);
    std::string exception;
    if (readScriptClasses(reader, env, methods) && methods != nullptr) {
        forEachLiveObject(env, targets, [&](jobject object, const std::vector<jlong> &positions) {
            jstring text =
                static_cast<jstring>(env->CallStaticObjectMethod(methods->evaluation, methods->runStringScript, object));
            env->ExceptionClear();
            if (text == nullptr) {
                exception = lastException(env, methods);
                return exception.empty();
            }
            for (jlong position : positions) {
                writer->writeByte(1);
                writer->writeU4(static_cast<uint32_t>(position));
                writeJavaString(writer, env, text);
            }
            env->DeleteLocalRef(text);
            return true;
        });
    }
    writeException(writer, exception);
}

namespace {

// The instance field of the current field-value request with type code
// `type`, searched from `type`'s class up to the requested class.
jfieldID requestedField(JNIEnv *env, jobject object, jclass cls, int type)
{
    if (object == nullptr || cls == nullptr || !env->IsInstanceOf(object, cls))
        return nullptr;
    ClassData *start = LiveClassProfilingHelper::getJvmtiClassData(cls, env, false, false);
    std::lock_guard<std::mutex> lock(fieldRequestLock);
    if (fieldRequestClass == nullptr)
        return nullptr;
    for (ClassData *c = start; c != nullptr; c = c->getSuperClassClassData()) {
        for (const FieldRecord &field : c->getInstanceFields())
            if (field.type == type && field.name == fieldRequestName)
                return static_cast<jfieldID>(field.fieldId);
        if (c == fieldRequestClass)
            break;
    }
    return nullptr;
}

void setNotFound(JNIEnv *env, jbooleanArray notFound)
{
    if (notFound == nullptr || env->GetArrayLength(notFound) < 1)
        return;
    jboolean yes = JNI_TRUE;
    env->SetBooleanArrayRegion(notFound, 0, 1, &yes);
}

template <class T>
T fieldValue(JNIEnv *env, jobject object, jclass cls, jbooleanArray notFound, int type,
             T (JNIEnv::*get)(jobject, jfieldID))
{
    jfieldID field = requestedField(env, object, cls, type);
    if (field == nullptr) {
        setNotFound(env, notFound);
        return T();
    }
    return (env->*get)(object, field);
}

} // namespace

#define EVALUATION_FIELD(Name, T, typeCode)                                                                            \
    extern "C" JNIEXPORT T JNICALL Java_com_orvane_agent_util_Evaluation_get##Name##Field(                            \
        JNIEnv *env, jclass, jobject object, jclass cls, jbooleanArray notFound)                                      \
    {                                                                                                                  \
        return fieldValue<T>(env, object, cls, notFound, typeCode, &JNIEnv::Get##Name##Field);                        \
    }

EVALUATION_FIELD(Boolean, jboolean, ClassData::FIELD_TYPE_BOOLEAN)
EVALUATION_FIELD(Char, jchar, ClassData::FIELD_TYPE_CHAR)
EVALUATION_FIELD(Float, jfloat, ClassData::FIELD_TYPE_FLOAT)
EVALUATION_FIELD(Double, jdouble, ClassData::FIELD_TYPE_DOUBLE)
EVALUATION_FIELD(Byte, jbyte, ClassData::FIELD_TYPE_BYTE)
EVALUATION_FIELD(Short, jshort, ClassData::FIELD_TYPE_SHORT)
EVALUATION_FIELD(Int, jint, ClassData::FIELD_TYPE_INT)
EVALUATION_FIELD(Long, jlong, ClassData::FIELD_TYPE_LONG)
