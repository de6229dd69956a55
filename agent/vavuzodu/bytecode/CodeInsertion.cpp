#include "bytecode/CodeInsertion.h"

#include <algorithm>
#include <cstring>

#include "bytecode/CodeInsertionHelper.h"
#include "bytecode/Instructions.h"
#include "io/DataOutput.h"
#include "io/Log.h"
#include "structures/ClassFile.h"
#include "structures/InstancePool.h"
#include "structures/MethodInfo.h"
#include "structures/String.h"
#include "structures/TypedAttributes.h"

namespace Tessera {

const char *const CodeInsertion::CLASS_NAME = "CodeInsertion";

ts_helper::StandaloneInstancePool<CodeInsertion *> codeInsertionVectorPool;

CodeInsertion *CodeInsertion::getInstance(int position, std::vector<AbstractInstruction *> *pre,
                                          std::vector<AbstractInstruction *> *post, bool shiftTarget)
{
    CodeInsertion *c = ts_helper::poolOf<CodeInsertion>().getInstance();
    c->position = position;
    c->preInstructions = pre;
    c->postInstructions = post;
    c->shiftTarget = shiftTarget;
    return c;
}

void CodeInsertion::freeInstance()
{
    setPreInstructions(nullptr);
    setPostInstructions(nullptr);
    ts_helper::poolOf<CodeInsertion>().freeInstance(this);
}

void CodeInsertion::setPreInstructions(std::vector<AbstractInstruction *> *v)
{
    if (preInstructions != nullptr && preInstructions != v)
        instructionVectorPool.freeInstance(preInstructions);
    preInstructions = v;
}

void CodeInsertion::setPostInstructions(std::vector<AbstractInstruction *> *v)
{
    if (postInstructions != nullptr && postInstructions != v)
        instructionVectorPool.freeInstance(postInstructions);
    postInstructions = v;
}

std::vector<AbstractInstruction *> *CodeInsertion::mergeInstructions(std::vector<AbstractInstruction *> *first,
                                                                     std::vector<AbstractInstruction *> *second)
{
    std::vector<AbstractInstruction *> *merged = instructionVectorPool.getInstance(false);
    if (first != nullptr)
        merged->insert(merged->end(), first->begin(), first->end());
    if (second != nullptr)
        merged->insert(merged->end(), second->begin(), second->end());
    return merged;
}

CodeInsertion *CodeInsertion::merge(int position, bool shiftTarget, CodeInsertion *a, CodeInsertion *b)
{
    if (a == nullptr)
        return b;
    if (b == nullptr)
        return a;
    CodeInsertion *c = getInstance(position, mergeInstructions(b->preInstructions, a->preInstructions),
                                   mergeInstructions(a->postInstructions, b->postInstructions), shiftTarget);
    a->freeInstance();
    b->freeInstance();
    return c;
}

namespace {

// Targets of one old instruction, as old pcs relative to the instruction; the
// count of targets written to out (at most 1 + switch entries).
void collectBranchOffsets(AbstractInstruction *i, std::vector<int> &out)
{
    int op = i->getOpcode();
    if ((op >= 153 && op <= 168) || op == 198 || op == 199)
        out.push_back(static_cast<BranchInstruction *>(i)->getBranchOffset());
    else if (op == 200 || op == 201)
        out.push_back(static_cast<ImmediateIntInstruction *>(i)->getImmediateInt());
    else if (op == 170) {
        TableSwitchInstruction *t = static_cast<TableSwitchInstruction *>(i);
        out.push_back(t->getDefaultOffset());
        out.insert(out.end(), t->getJumpOffsets().begin(), t->getJumpOffsets().end());
    } else if (op == 171) {
        LookupSwitchInstruction *l = static_cast<LookupSwitchInstruction *>(i);
        out.push_back(l->getDefaultOffset());
        for (MatchOffsetPair *p : *l->getMatchOffsetPairs())
            out.push_back(p->getOffset());
    }
}

// Stores new relative offsets (same order as collectBranchOffsets).
void storeBranchOffsets(AbstractInstruction *i, const int *values)
{
    int op = i->getOpcode();
    if ((op >= 153 && op <= 168) || op == 198 || op == 199)
        static_cast<BranchInstruction *>(i)->setBranchOffset(values[0]);
    else if (op == 200 || op == 201)
        static_cast<ImmediateIntInstruction *>(i)->setImmediateInt(values[0]);
    else if (op == 170) {
        TableSwitchInstruction *t = static_cast<TableSwitchInstruction *>(i);
        t->setDefaultOffset(values[0]);
        std::copy(values + 1, values + 1 + t->getJumpOffsets().size(), t->getJumpOffsets().begin());
    } else if (op == 171) {
        LookupSwitchInstruction *l = static_cast<LookupSwitchInstruction *>(i);
        l->setDefaultOffset(values[0]);
        int k = 1;
        for (MatchOffsetPair *p : *l->getMatchOffsetPairs())
            p->setOffset(values[k++]);
    }
}

// Pending table values, stored only when every table could be carried over.
struct TableUpdate {
    std::vector<int> exceptionValues;  // start, end, handler per entry
    std::vector<int> lineStarts;
    std::vector<int> localValues;      // start, length per entry of every local table
    bool stackMapChanged = false;
    DataOutput stackMap;
};

void failWith(std::vector<AbstractInstruction *> *list, int *error, int code)
{
    for (AbstractInstruction *i : *list)
        i->freeInstance();
    longInstructionVectorPool.freeInstance(list);
    *error = code;
}

int mapEnd(const OffsetMap &map, int end)
{
    int i = map.findOld(end);
    if (i >= 0)
        return map.newOffsets[map.indexMap[i]];
    return -1;
}

bool carryExceptionTable(CodeAttribute *code, const OffsetMap &map, TableUpdate &update)
{
    int last = map.oldCount - 1;
    int lastMove = last >= 0 ? map.newOffsets[map.ownIndex[last]] - map.oldOffsets[last] : 0;
    for (ExceptionTableEntry *e : code->getExceptionTable()) {
        int start = map.findOld(e->getStartPc());
        int handler = map.findOld(e->getHandlerPc());
        if (start < 0 || handler < 0)
            return false;
        int end;
        if (last >= 0 && e->getEndPc() > map.oldOffsets[last])
            end = e->getEndPc() == map.oldCodeLength ? e->getEndPc() + lastMove : -1;
        else
            end = mapEnd(map, e->getEndPc());
        int newStart = map.newOffsets[map.indexMap[start]];
        if (end < 0 || end <= newStart)
            return false;
        update.exceptionValues.push_back(newStart);
        update.exceptionValues.push_back(end);
        update.exceptionValues.push_back(map.newOffsets[map.indexMap[handler]]);
    }
    return true;
}

void carryLocalTable(std::vector<LocalVariableTableEntry *> &table, const OffsetMap &map, TableUpdate &update)
{
    for (LocalVariableTableEntry *e : table) {
        int start = CodeInsertionHelper::getNewPc(map, e->getStartPc());
        int oldEnd = e->getStartPc() + e->getLength();
        int end = map.findOld(oldEnd) >= 0 ? CodeInsertionHelper::getNewPc(map, oldEnd) : map.newCodeLength;
        update.localValues.push_back(start);
        update.localValues.push_back(end - start);
    }
}

void storeTables(CodeAttribute *code, TableUpdate &update, AttributeInfo *stackMap)
{
    size_t k = 0;
    for (ExceptionTableEntry *e : code->getExceptionTable()) {
        e->setStartPc(update.exceptionValues[k++]);
        e->setEndPc(update.exceptionValues[k++]);
        e->setHandlerPc(update.exceptionValues[k++]);
    }
    size_t line = 0, local = 0;
    for (AttributeInfo *a : code->getAttributes()) {
        if (a->instanceOf(LineNumberTableAttribute::CLASS_NAME)) {
            for (LineNumberTableEntry *e : static_cast<LineNumberTableAttribute *>(a)->getLineNumberTable())
                e->setStartPc(update.lineStarts[line++]);
        } else if (a->instanceOf(LocalVariableTableAttribute::CLASS_NAME) ||
                   a->instanceOf(LocalVariableTypeTableAttribute::CLASS_NAME)) {
            std::vector<LocalVariableTableEntry *> &t =
                a->instanceOf(LocalVariableTableAttribute::CLASS_NAME)
                    ? static_cast<LocalVariableTableAttribute *>(a)->getLocalVariableTable()
                    : static_cast<LocalVariableTypeTableAttribute *>(a)->getLocalVariableTable();
            for (LocalVariableTableEntry *e : t) {
                e->setStartPc(update.localValues[local++]);
                e->setLength(update.localValues[local++]);
            }
        }
    }
    if (!update.stackMapChanged)
        return;
    int length = update.stackMap.getSize();
    char *body = new char[length];
    std::memcpy(body, update.stackMap.getBuffer(), length);
    if (stackMap == nullptr) {
        stackMap = AttributeInfo::getInstance(length);
        stackMap->setClassFile(code->getClassFile());
        stackMap->setAttributeNameIndex(code->getClassFile()->getStackMapTableNameIndex());
        code->getAttributes().push_back(stackMap);
    }
    stackMap->setReplacementBody(body, length);
}

AttributeInfo *findStackMap(CodeAttribute *code)
{
    for (AttributeInfo *a : code->getAttributes())
        if (a->getClassFile() != nullptr && eq_nt_str("StackMapTable", a->getName(), a->getNameLength()))
            return a;
    return nullptr;
}

} // namespace

std::vector<AbstractInstruction *> *CodeInsertion::apply(std::vector<AbstractInstruction *> *instructions,
                                                         std::vector<CodeInsertion *> *insertions,
                                                         CodeAttribute *codeAttribute, MethodInfo *method,
                                                         int handlerLength, int leadingFrame, int *error)
{
    *error = APPLIED;
    if (insertions == nullptr || insertions->empty())
        return nullptr;
    int oldCount = static_cast<int>(instructions->size());

    // Old positions, and every old branch resolved to the index of its target.
    std::vector<int> oldOffsets(oldCount), indexMap(oldCount), ownIndex(oldCount);
    for (int j = 0; j < oldCount; j++)
        oldOffsets[j] = (*instructions)[j]->getOffset();
    int oldCodeLength = oldCount == 0 ? 0 : oldOffsets[oldCount - 1] + (*instructions)[oldCount - 1]->getPaddedSize(oldOffsets[oldCount - 1]);
    OffsetMap map = {oldOffsets.data(), oldCount, nullptr, 0, indexMap.data(), ownIndex.data(), oldCodeLength, 0};

    std::vector<int> targetStart(oldCount + 1), targets, relative;
    bool badTarget = false;
    for (int j = 0; j < oldCount; j++) {
        targetStart[j] = static_cast<int>(targets.size());
        relative.clear();
        collectBranchOffsets((*instructions)[j], relative);
        for (int r : relative) {
            int t = map.findOld(oldOffsets[j] + r);
            if (t < 0) {
                Log::error("Invalid branch target");
                badTarget = true;
            }
            targets.push_back(t);
        }
    }
    targetStart[oldCount] = static_cast<int>(targets.size());

    // Splice.
    size_t extra = 0;
    for (CodeInsertion *c : *insertions)
        extra += (c->preInstructions ? c->preInstructions->size() : 0) + (c->postInstructions ? c->postInstructions->size() : 0);
    std::vector<AbstractInstruction *> *list = longInstructionVectorPool.getInstance(false);
    list->reserve(oldCount + extra);
    size_t cursor = 0;
    for (int j = 0; j < oldCount; j++) {
        while (cursor + 1 < insertions->size() && (*insertions)[cursor]->position < j)
            cursor++;
        CodeInsertion *c = cursor < insertions->size() && (*insertions)[cursor]->position == j ? (*insertions)[cursor] : nullptr;
        int first = static_cast<int>(list->size());
        if (c != nullptr && c->preInstructions != nullptr)
            list->insert(list->end(), c->preInstructions->begin(), c->preInstructions->end());
        ownIndex[j] = static_cast<int>(list->size());
        indexMap[j] = c != nullptr && c->shiftTarget ? first : ownIndex[j];
        list->push_back((*instructions)[j]);
        if (c != nullptr && c->postInstructions != nullptr)
            list->insert(list->end(), c->postInstructions->begin(), c->postInstructions->end());
    }
    if (badTarget) {
        failWith(list, error, ERROR_BRANCH_TARGET);
        return nullptr;
    }

    // One layout pass.
    int newCount = static_cast<int>(list->size());
    std::vector<int> newOffsets(newCount);
    int at = 0;
    for (int k = 0; k < newCount; k++) {
        newOffsets[k] = at;
        at += (*list)[k]->getPaddedSize(at);
    }
    map.newOffsets = newOffsets.data();
    map.newCount = newCount;
    map.newCodeLength = at;
    if (at > MAX_CODE_LENGTH) {
        failWith(list, error, ERROR_CODE_TOO_LONG);
        return nullptr;
    }

    // Branch values from the new layout.
    std::vector<int> values;
    std::vector<int> newValues(targets.size());
    for (int j = 0; j < oldCount; j++) {
        int op = (*instructions)[j]->getOpcode();
        for (int k = targetStart[j]; k < targetStart[j + 1]; k++) {
            int v = newOffsets[indexMap[targets[k]]] - newOffsets[ownIndex[j]];
            bool shortBranch = (op >= 153 && op <= 168) || op == 198 || op == 199;
            if (shortBranch && (v > MAX_BRANCH_OFFSET || v < -MAX_BRANCH_OFFSET)) {
                failWith(list, error, ERROR_CODE_TOO_LONG);
                return nullptr;
            }
            newValues[k] = v;
        }
    }

    // Tables: computed first, stored only when all of them carry over.
    TableUpdate update;
    AttributeInfo *stackMap = nullptr;
    if (codeAttribute != nullptr) {
        if (!carryExceptionTable(codeAttribute, map, update)) {
            failWith(list, error, ERROR_EXCEPTION_TABLE);
            return nullptr;
        }
        for (AttributeInfo *a : codeAttribute->getAttributes()) {
            if (a->instanceOf(LineNumberTableAttribute::CLASS_NAME)) {
                for (LineNumberTableEntry *e : static_cast<LineNumberTableAttribute *>(a)->getLineNumberTable())
                    update.lineStarts.push_back(CodeInsertionHelper::getNewPc(map, e->getStartPc()));
            } else if (a->instanceOf(LocalVariableTableAttribute::CLASS_NAME)) {
                carryLocalTable(static_cast<LocalVariableTableAttribute *>(a)->getLocalVariableTable(), map, update);
            } else if (a->instanceOf(LocalVariableTypeTableAttribute::CLASS_NAME)) {
                carryLocalTable(static_cast<LocalVariableTypeTableAttribute *>(a)->getLocalVariableTable(), map, update);
            }
        }
        ClassFile *cf = codeAttribute->getClassFile();
        stackMap = findStackMap(codeAttribute);
        bool framesWanted = stackMap != nullptr || handlerLength > 0 || leadingFrame >= 0;
        if (framesWanted && (cf == nullptr || cf->getOriginalMajorVersion() > 49)) {
            const char *oldBody = stackMap != nullptr ? stackMap->getBody() : nullptr;
            int oldLength = stackMap != nullptr ? stackMap->getAttributeLength() : 0;
            if (!CodeInsertionHelper::writeStackMapTable(&update.stackMap, oldBody, oldLength, map, list,
                                                         codeAttribute, method, handlerLength, leadingFrame)) {
                if (method != nullptr && cf != nullptr) {
                    int classLength;
                    const char *className = cf->getClassName(&classLength);
                    Log::message("in method %.*s.%.*s%.*s", classLength, className ? className : "",
                                 method->getNameLength(), method->getName() ? method->getName() : "",
                                 method->getSignatureLength(), method->getSignature() ? method->getSignature() : "");
                }
                failWith(list, error, ERROR_STACK_MAP);
                return nullptr;
            }
            // Nothing to write when there were no frames and none are added.
            update.stackMapChanged = stackMap != nullptr || update.stackMap.getSize() > 2;
        }
        storeTables(codeAttribute, update, stackMap);
    }

    for (int j = 0; j < oldCount; j++)
        if (targetStart[j] < targetStart[j + 1])
            storeBranchOffsets((*instructions)[j], &newValues[targetStart[j]]);
    for (int k = 0; k < newCount; k++)
        (*list)[k]->setOffset(newOffsets[k]);
    return list;
}

} // namespace Tessera
