// configuration.xml through libxml2 and the configuration manager: the
// daemon's own table (init), then a table with string values, loaded and
// saved back.
#include "FuzzSupport.h"

#include "configManager/configManager.h"
#include "serviceManager/serviceManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    std::string path = fuzzSupport::pathOf("/usr/local/q7/firmware/configuration.xml");
    fuzzSupport::writeInput(path, data, size);
    configManagerInit(&configManagerService);
    configGetIntValue("service.probing.enable");

    static configEntry_t entries[] = {
        {"service.probing.enable", CONFIG_TYPE_INT, 0, ""},
        {"card.main.label", CONFIG_TYPE_STRING, 0, ""},
        {"service.fifoServer.portA", CONFIG_TYPE_INT, 0, ""},
    };
    static GHashTable *table = configManagerBuildTable(entries, sizeof entries / sizeof entries[0]);
    if (configLoadFile(path.c_str(), table) == CONFIG_OK)
        configSaveFile(path.c_str(), table);
    return 0;
}
