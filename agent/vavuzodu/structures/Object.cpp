#include "structures/Object.h"

namespace orvane {

const char *const Object::CLASS_NAME = "Object";

const char *Object::tiClassName() const { return CLASS_NAME; }

bool Object::instanceOf(const char *name) const { return std::strcmp(name, tiClassName()) == 0; }

bool Object::equals(const Object *) const { return false; }

int Object::hashCode() const { return 0; }

Object::~Object() {}

} // namespace orvane
