#ifndef TESSERA_TABLEENTRIES_H
#define TESSERA_TABLEENTRIES_H

// The entries of the Code exception table and of the table attributes.
#include "structures/ExceptionTableEntry.h"
#include "structures/InnerClassesEntry.h"
#include "structures/LineNumberTableEntry.h"
#include "structures/LocalVariableTableEntry.h"

#endif
