#include "qvsInterface/qvsInterface.h"

/*
 * What is pushed to remote QVS peers. List 0: bytes 0-1,365 of card block 0
 * (relative at the peer), then bytes 2,048-6,379 of each of the six card
 * blocks, to the peer's absolute address 0x820 + 0x2000 x block. List 1: the
 * first chunk only. The platform sets the send flags and moves chunk 0 to the
 * card's own block at start-up.
 */
enum {
    PUBLISHED_HEAD_SIZE = 1366,
    PUBLISHED_TAIL_START = 2048,
    PUBLISHED_TAIL_SIZE = CARD_STATUS_BLOCK_SIZE - PUBLISHED_TAIL_START,
};

#define TAIL_CHUNK(block)                                                                                 \
    {                                                                                                    \
        CARD_STATUS_BLOCK_SIZE * (block) + PUBLISHED_TAIL_START, 0x80000820u + 0x2000u * (block), \
            PUBLISHED_TAIL_SIZE, 0                                                                       \
    }

static sharedMemChunk publishingList0[] = {
    {0, 0x00000000u, PUBLISHED_HEAD_SIZE, 0},
    TAIL_CHUNK(0), TAIL_CHUNK(1), TAIL_CHUNK(2), TAIL_CHUNK(3), TAIL_CHUNK(4), TAIL_CHUNK(5),
};

static sharedMemChunk publishingList1[] = {
    {0, 0x00000000u, PUBLISHED_HEAD_SIZE, 0},
};

static sharedMemPublishingList publishingLists[PUBLISHING_LIST_COUNT] = {
    {sizeof publishingList0 / sizeof publishingList0[0], publishingList0},
    {sizeof publishingList1 / sizeof publishingList1[0], publishingList1},
};

sharedMemPublishingTable sharedMemPublishing = {PUBLISHING_LIST_COUNT, publishingLists};
