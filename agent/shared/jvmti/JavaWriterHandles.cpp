#include "JavaWriterHandles.h"

#include <mutex>
#include <unordered_map>

#include "DataWriter.h"
#include "MessageUtil.h"

namespace {

std::mutex handlesLock;
std::unordered_map<int64_t, DataWriter *> lent;
int64_t lastHandle = 0;

} // namespace

int64_t JavaWriterHandles::lend(DataWriter *writer)
{
    std::lock_guard<std::mutex> lock(handlesLock);
    lent[++lastHandle] = writer;
    return lastHandle;
}

void JavaWriterHandles::withdraw(int64_t handle)
{
    std::lock_guard<std::mutex> lock(handlesLock);
    lent.erase(handle);
}

bool JavaWriterHandles::write(int64_t handle, const void *bytes, int length)
{
    std::lock_guard<std::mutex> lock(handlesLock);
    auto found = lent.find(handle);
    if (found == lent.end())
        return false;
    found->second->writeBuffered(bytes, length);
    found->second->flush();
    return true;
}

void JavaWriterHandles::writeFromJava(JNIEnv *env, jlong handle, jbyteArray bytes, jint offset, jint length)
{
    if (bytes == nullptr || offset < 0 || length <= 0 || static_cast<jlong>(offset) + length > env->GetArrayLength(bytes))
        return;
    jbyte *elements = env->GetByteArrayElements(bytes, nullptr);
    if (elements == nullptr)
        return;
    if (!write(handle, elements + offset, length))
        MessageUtil::message("writeData: unknown writer handle %lld", static_cast<long long>(handle));
    env->ReleaseByteArrayElements(bytes, elements, JNI_ABORT);
}
