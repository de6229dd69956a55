#ifndef TESSERA_INSTRUCTIONS_H
#define TESSERA_INSTRUCTIONS_H

// Every instruction class, the opcode mnemonics and the instruction vector pools.
#include "bytecode/AbstractInstruction.h"
#include "bytecode/BranchInstruction.h"
#include "bytecode/ImmediateByteInstruction.h"
#include "bytecode/ImmediateIntInstruction.h"
#include "bytecode/ImmediateShortInstruction.h"
#include "bytecode/IncrementInstruction.h"
#include "bytecode/InvokeInterfaceInstruction.h"
#include "bytecode/LookupSwitchInstruction.h"
#include "bytecode/MatchOffsetPair.h"
#include "bytecode/MultianewarrayInstruction.h"
#include "bytecode/OpcodesUtil.h"
#include "bytecode/PaddedInstruction.h"
#include "bytecode/SimpleInstruction.h"
#include "bytecode/TableSwitchInstruction.h"

#endif
