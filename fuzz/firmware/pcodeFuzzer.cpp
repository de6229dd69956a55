// Pcodes through the pcode processor's acceptance and its decoder thread to
// the registered handlers, the layout decoders among them, whose messages are
// then served as the layout thread serves them. A pcode the processor refuses
// stops there. A second, empty pcode of a class nobody handles follows each
// input: the processor takes it only once the decoder has finished the first.
#include "LayoutFuzzSupport.h"

#include "configManager/configManager.h"
#include "pcodeProcessor/pcodeProcessor.h"

static void startPcodeProcessor()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    std::string xml = "<configuration><service><name>pcodeProcessor</name><enable>1</enable></service>"
                      "</configuration>";
    fuzzSupport::writeInput(fuzzSupport::pathOf("/usr/local/q7/firmware/configuration.xml"),
                            (const uint8_t *)xml.data(), xml.size());
    configManagerInit(&configManagerService);
    static serviceDescriptor *const list[1] = {&pcodeProcessorService};
    serviceManagerInit(list, 1);
    serviceManagerStart(list, 1);
    serviceManagerEnable(list, 1);
    fuzzSupport::layoutStart();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2 * PCODE_BUFFER_SIZE)
        return 0;
    startPcodeProcessor();
    pcodeProcessor((uint32_t)size, data, nullptr);
    static const uint8_t settle[PCODE_HEADER_SIZE] = {0, 0, 0, 0};
    pcodeProcessor(sizeof settle, settle, nullptr);
    fuzzSupport::layoutDrain();
    return 0;
}
