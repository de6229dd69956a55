#ifndef TESSERA_TYPEDATTRIBUTES_H
#define TESSERA_TYPEDATTRIBUTES_H

// Every typed attribute class, their table entries and the attribute skipper.
#include "structures/AttributeHelper.h"
#include "structures/CodeAttribute.h"
#include "structures/ConstantValueAttribute.h"
#include "structures/DeprecatedAttribute.h"
#include "structures/ExceptionsAttribute.h"
#include "structures/InnerClassesAttribute.h"
#include "structures/LineNumberTableAttribute.h"
#include "structures/LocalVariableTableAttribute.h"
#include "structures/LocalVariableTypeTableAttribute.h"
#include "structures/SourceFileAttribute.h"
#include "structures/SyntheticAttribute.h"
#include "structures/TableAttribute.h"
#include "structures/TableEntries.h"

#endif
