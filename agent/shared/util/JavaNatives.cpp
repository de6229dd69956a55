#include "JavaNatives.h"

#include <cstdint>
#include <cstring>
#include <unistd.h>

#include "MessageUtil.h"

void JavaNatives::runnableSleep(long long millis)
{
    if (millis <= 0)
        return;
    sleep(static_cast<unsigned>(millis / 1000));
    usleep(static_cast<useconds_t>((millis % 1000) * 1000));
}

void JavaNatives::debugOut(JNIEnv *env, jstring text)
{
    if (text == nullptr)
        return;
    const char *chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr)
        return;
    MessageUtil::debugOut("%s", chars);
    env->ReleaseStringUTFChars(text, chars);
}

jint JavaNatives::storeSnapshotId(JNIEnv *env, jbyteArray bytes, jint value)
{
    if (bytes == nullptr || env->GetArrayLength(bytes) < 4) {
        MessageUtil::message("getSnapshotId: an array of at least 4 bytes is needed");
        return 0;
    }
    uint32_t v = static_cast<uint32_t>(value);
    jbyte host[4];
    static_assert(sizeof host == sizeof v, "four bytes");
    memcpy(host, &v, sizeof v);
    env->SetByteArrayRegion(bytes, 0, 4, host);
    return 4;
}

std::vector<std::string> JavaNatives::strings(JNIEnv *env, jobjectArray array)
{
    std::vector<std::string> list;
    if (array == nullptr)
        return list;
    jsize n = env->GetArrayLength(array);
    for (jsize i = 0; i < n; i++) {
        jstring s = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        if (s == nullptr)
            continue;
        const char *chars = env->GetStringUTFChars(s, nullptr);
        if (chars != nullptr) {
            list.push_back(chars);
            env->ReleaseStringUTFChars(s, chars);
        }
        env->DeleteLocalRef(s);
    }
    return list;
}

std::string JavaNatives::bytes(JNIEnv *env, jbyteArray array)
{
    if (array == nullptr)
        return std::string();
    jsize length = env->GetArrayLength(array);
    std::string text(static_cast<size_t>(length), '\0');
    if (length > 0)
        env->GetByteArrayRegion(array, 0, length, reinterpret_cast<jbyte *>(&text[0]));
    return text;
}
