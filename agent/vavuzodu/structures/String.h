#ifndef TESSERA_STRING_H
#define TESSERA_STRING_H

#include "structures/Object.h"

namespace orvane {

// A counted string over characters owned by somebody else: never copied, never
// freed, not necessarily NUL-terminated. Pooled; single-threaded (callers lock).
class String : public Object {
    TESSERA_CLASS(String, Object)
public:
    String();
    String(const char *chars, int length);

    // Takes a string from the class's pool (created on first use, kept to the end
    // of the process) and points it at chars.
    static String *getInstance(const char *chars, int length);
    // Points the string at chars and forgets the cached hash.
    void initInstance(const char *chars, int length);
    // Forgets the characters and returns the string to its pool.
    void freeInstance();

    const char *getChars() const { return chars; }
    int getLength() const { return length; }

    // h = h * 31 + byte (unsigned) over all bytes, modulo 2^32; cached when non-zero.
    int hashCode() const override;
    // The other object is taken to be a String: same length and strncmp finds no difference.
    bool equals(const Object *other) const override;

    String *getNextInstance() const { return nextInstance; }
    void setNextInstance(String *next) { nextInstance = next; }

private:
    String *nextInstance;
    const char *chars;
    int length;
    mutable int hash;
};

} // namespace orvane

// True when the NUL-terminated nt has exactly n bytes equal to the first n bytes of s;
// false when either pointer is null.
bool eq_nt_str(const char *nt, const char *s, int n);
// True when both pointers are set, the lengths are equal and strncmp finds no difference.
bool eq_2nt_str(const char *a, const char *b, int lengthOfA, int lengthOfB);

#endif
