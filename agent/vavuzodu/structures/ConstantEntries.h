#ifndef TESSERA_CONSTANTENTRIES_H
#define TESSERA_CONSTANTENTRIES_H

// Every kind of constant-pool entry.
#include "structures/CPInfo.h"
#include "structures/ConstantBootstrapReference.h"
#include "structures/ConstantClassInfo.h"
#include "structures/ConstantDoubleInfo.h"
#include "structures/ConstantDynamicInfo.h"
#include "structures/ConstantFieldrefInfo.h"
#include "structures/ConstantFloatInfo.h"
#include "structures/ConstantIndexPair.h"
#include "structures/ConstantIntegerInfo.h"
#include "structures/ConstantInterfaceMethodrefInfo.h"
#include "structures/ConstantInvokeDynamicInfo.h"
#include "structures/ConstantLargeNumeric.h"
#include "structures/ConstantLongInfo.h"
#include "structures/ConstantMethodHandleInfo.h"
#include "structures/ConstantMethodTypeInfo.h"
#include "structures/ConstantMethodrefInfo.h"
#include "structures/ConstantModuleInfo.h"
#include "structures/ConstantNameAndTypeInfo.h"
#include "structures/ConstantNumeric.h"
#include "structures/ConstantPackageInfo.h"
#include "structures/ConstantReference.h"
#include "structures/ConstantSingleIndex.h"
#include "structures/ConstantStringInfo.h"
#include "structures/ConstantUtf8Info.h"

#endif
