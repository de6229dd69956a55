#ifndef AGENT_JNILOCALFRAME_H
#define AGENT_JNILOCALFRAME_H

#include <jni.h>

// A JNI local frame popped when the scope ends.
class JniLocalFrame {
public:
    JniLocalFrame(JNIEnv *env, jint capacity) : env(env), pushed(env->PushLocalFrame(capacity) == 0) {}
    ~JniLocalFrame()
    {
        if (pushed)
            env->PopLocalFrame(nullptr);
    }
    JniLocalFrame(const JniLocalFrame &) = delete;
    JniLocalFrame &operator=(const JniLocalFrame &) = delete;
    bool isPushed() const { return pushed; }

private:
    JNIEnv *env;
    bool pushed;
};

#endif
