#include "AnnotationInstrumentation.h"

// No probe or trigger is ever configured here, so every class is answered
// "no pass needed" and left as it is.

int AnnotationInstrumentation::getAnnotationInstrType(Tessera::ClassFile *, const char *, bool)
{
    return 0;
}

void AnnotationInstrumentation::instrument(JNIEnv *, Tessera::ClassFile *, const char *, bool, bool, bool, int, bool)
{
}

bool AnnotationInstrumentation::isPossibleAnnotationClass(const char *, const char *, const char *)
{
    return false;
}

void AnnotationInstrumentation::addAnnotationMethod(const char *, const char *, const char *, int, int, int)
{
}

void AnnotationInstrumentation::removeTriggerAndExceptionalMethods()
{
}
