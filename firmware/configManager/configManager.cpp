#include "configManager/configManager.h"

#include "hal/hal.h"
#include "serviceManager/serviceManager.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <log4c.h>
#include <string>

#define CONFIG_INT(key) {key, CONFIG_TYPE_INT, 0, ""}

/* Every known key; all integers with the default 0, so a service runs only when the file enables it. */
static configEntry_t configTableEntries[] = {
    CONFIG_INT("service.debuger.port"),
    CONFIG_INT("service.debuger.enable"),
    CONFIG_INT("service.debuger.postponeStartup"),
    CONFIG_INT("service.configManager.postponeStartup"),
    CONFIG_INT("service.deviceManager.enable"),
    CONFIG_INT("service.deviceManager.postponeStartup"),
    CONFIG_INT("service.layoutManager.enable"),
    CONFIG_INT("service.layoutManager.postponeStartup"),
    CONFIG_INT("service.ledManager.enable"),
    CONFIG_INT("service.ledManager.postponeStartup"),
    CONFIG_INT("service.pcodeProcessor.enable"),
    CONFIG_INT("service.pcodeProcessor.postponeStartup"),
    CONFIG_INT("service.systemConfigHandler.enable"),
    CONFIG_INT("service.systemConfigHandler.postponeStartup"),
    CONFIG_INT("service.strata.enable"),
    CONFIG_INT("service.strata.postponeStartup"),
    CONFIG_INT("service.interruptController.enable"),
    CONFIG_INT("service.interruptController.postponeStartup"),
    CONFIG_INT("service.probing.enable"),
    CONFIG_INT("service.probing.postponeStartup"),
    CONFIG_INT("service.fifoServer.enable"),
    CONFIG_INT("service.fifoServer.postponeStartup"),
    CONFIG_INT("service.fifoServer.portA"),
    CONFIG_INT("service.fifoServer.portB"),
    CONFIG_INT("service.fifoServer.portC"),
    CONFIG_INT("service.fifoServer.portD"),
    CONFIG_INT("service.fifoServer.portE"),
    CONFIG_INT("service.fifoServer.portF"),
    CONFIG_INT("service.persistentDataStorage.enable"),
    CONFIG_INT("service.persistentDataStorage.postponeStartup"),
    CONFIG_INT("service.ethernetProbing.enable"),
    CONFIG_INT("service.ethernetProbing.postponeStartup"),
    CONFIG_INT("service.loudnessManager.enable"),
    CONFIG_INT("service.loudnessManager.postponeStartup"),
    CONFIG_INT("service.hdrManager.enable"),
    CONFIG_INT("service.hdrManager.postponeStartup"),
};

static struct {
    log4c_category_t *category;
    GHashTable *table;
    double version;
} configContext;

static void configControl(serviceDescriptor *service, int newState, int previousState)
{
    (void)service;
    (void)newState;
    (void)previousState;
}

serviceDescriptor configManagerService = {
    "configManager", "ulm.firmware.configManagerSrvc",
    configManagerInit, nullptr, nullptr, configControl,
    0, nullptr,
};

static log4c_category_t *configCategory(void)
{
    if (!configContext.category)
        configContext.category = log4c_category_get("ulm.firmware.configManagerSrvc");
    return configContext.category;
}

GHashTable *configBuildTable(configEntry_t *entries, size_t count)
{
    GHashTable *table = g_hash_table_new(g_str_hash, g_str_equal);
    for (size_t i = 0; i < count; i++)
        g_hash_table_insert(table, (gpointer)entries[i].key, &entries[i]);
    return table;
}

GHashTable *configManagerTable(void)
{
    return configContext.table;
}

void configManagerInit(serviceDescriptor *service)
{
    serviceManagerSetConfigReader(configGetIntValue);
    if (service && service->category)
        configContext.category = service->category;
    if (configContext.table)
        g_hash_table_destroy(configContext.table);
    for (configEntry_t &entry : configTableEntries) {
        entry.intValue = 0;
        entry.stringValue[0] = '\0';
    }
    configContext.table = configBuildTable(configTableEntries, sizeof configTableEntries / sizeof configTableEntries[0]);
    configLoadFile(halPath(CONFIG_FILE_PATH).c_str(), configContext.table);
}

static configEntry_t *configLookup(const char *key, uint32_t type)
{
    if (!configContext.table)
        return nullptr;
    configEntry_t *entry = (configEntry_t *)g_hash_table_lookup(configContext.table, key);
    return entry && entry->type == type ? entry : nullptr;
}

int configGetIntValue(const char *key)
{
    assert(key != nullptr);
    configEntry_t *entry = configLookup(key, CONFIG_TYPE_INT);
    if (!entry) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Config: Int value invalid for %s", __func__, key);
        return 0;
    }
    return entry->intValue;
}

void configSetIntValue(const char *key, int value)
{
    configEntry_t *entry = key ? configLookup(key, CONFIG_TYPE_INT) : nullptr;
    if (!entry) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Config: Int value invalid for %s", __func__,
                           key ? key : "(null)");
        return;
    }
    entry->intValue = value;
}

const char *configGetStringValue(const char *key)
{
    configEntry_t *entry = key ? configLookup(key, CONFIG_TYPE_STRING) : nullptr;
    if (!entry) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Config: string value invalid for %s", __func__,
                           key ? key : "(null)");
        return nullptr;
    }
    return entry->stringValue;
}

static void copyString(configEntry_t *entry, const char *text)
{
    strncpy(entry->stringValue, text ? text : "", CONFIG_STRING_MAX);
    entry->stringValue[CONFIG_STRING_MAX] = '\0';
}

void configSetStringValue(const char *key, const char *text)
{
    configEntry_t *entry = key ? configLookup(key, CONFIG_TYPE_STRING) : nullptr;
    if (!entry) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Config: string value invalid for %s", __func__,
                           key ? key : "(null)");
        return;
    }
    copyString(entry, text);
}

/* Called for every parameter element whose key is in the table. */
typedef void (*configParameterVisitor)(xmlNodePtr parameter, configEntry_t *entry);

static std::string nodeText(xmlNodePtr node)
{
    xmlChar *content = xmlNodeGetContent(node);
    std::string text = content ? (const char *)content : "";
    xmlFree(content);
    return text;
}

static void loadParameter(xmlNodePtr parameter, configEntry_t *entry)
{
    std::string text = nodeText(parameter);
    if (entry->type == CONFIG_TYPE_INT)
        entry->intValue = (int32_t)strtol(text.c_str(), nullptr, 10);
    else if (entry->type == CONFIG_TYPE_STRING) {
        if (text.size() > CONFIG_STRING_MAX)
            log4c_category_log(configCategory(), LOG4C_PRIORITY_WARN,
                               "%s: value of %s is %zu characters, only the first %d are kept", __func__, entry->key,
                               text.size(), (int)CONFIG_STRING_MAX);
        copyString(entry, text.c_str());
    } else {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Parser unknown type for %s", __func__, entry->key);
    }
}

static void saveParameter(xmlNodePtr parameter, configEntry_t *entry)
{
    char number[16];
    const char *text = entry->stringValue;
    if (entry->type == CONFIG_TYPE_INT) {
        snprintf(number, sizeof number, "%d", entry->intValue);
        text = number;
    }
    xmlChar *escaped = xmlEncodeSpecialChars(parameter->doc, (const xmlChar *)text);
    xmlNodeSetContent(parameter, escaped);
    xmlFree(escaped);
}

/*
 * Walks the sections of the root: inside a section, "name" sets the current
 * name and every other element is the parameter "section.name.parameter".
 */
static void configWalk(xmlNodePtr root, GHashTable *table, configParameterVisitor visit)
{
    for (xmlNodePtr section = root->children; section; section = section->next) {
        if (section->type != XML_ELEMENT_NODE)
            continue;
        if (xmlStrcmp(section->name, (const xmlChar *)"version") == 0) {
            configContext.version = strtod(nodeText(section).c_str(), nullptr);
            continue;
        }
        std::string name;
        bool haveName = false;
        for (xmlNodePtr parameter = section->children; parameter; parameter = parameter->next) {
            if (parameter->type != XML_ELEMENT_NODE)
                continue;
            if (xmlStrcmp(parameter->name, (const xmlChar *)"name") == 0) {
                name = nodeText(parameter);
                haveName = true;
                continue;
            }
            if (!haveName)
                continue;
            std::string key = std::string((const char *)section->name) + "." + name + "." + (const char *)parameter->name;
            configEntry_t *entry = (configEntry_t *)g_hash_table_lookup(table, key.c_str());
            if (entry)
                visit(parameter, entry);
        }
    }
}

/* The second line of a failed parse: the file and libxml2's reason (its message ends in a newline). */
static void configLogParseError(const char *function, const char *path, xmlParserCtxtPtr parser)
{
    const xmlError *error = parser ? xmlCtxtGetLastError(parser) : nullptr;
    std::string reason = error && error->message ? error->message : "no parser";
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' '))
        reason.pop_back();
    if (error && error->line > 0)
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: %s: line %d: %s", function,
                           path ? path : "(no path)", error->line, reason.c_str());
    else
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: %s: %s", function, path ? path : "(no path)",
                           reason.c_str());
}

/* Parses the file and checks its root; null (logged) when it is not a configuration. */
static xmlDocPtr configParse(const char *path)
{
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlParserCtxtPtr parser = xmlNewParserCtxt();
    /* The options before the file is opened, so that libxml2 prints nothing of its own. */
    if (parser)
        xmlCtxtUseOptions(parser, options);
    xmlDocPtr doc = path && parser ? xmlCtxtReadFile(parser, path, nullptr, options) : nullptr;
    if (!doc) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Configuration Error: invalid file", __func__);
        configLogParseError(__func__, path, parser);
    }
    if (parser)
        xmlFreeParserCtxt(parser);
    if (!doc)
        return nullptr;
    xmlNodePtr root = xmlDocGetRootElement(doc);
    if (!root || xmlStrcmp(root->name, (const xmlChar *)"configuration") != 0) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: Configuration Error: Root Node value is not '%s'", __func__,
                           root ? (const char *)root->name : "");
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR,
                           "%s: %s: its root element is '%s', not 'configuration'", __func__,
                           path, root ? (const char *)root->name : "");
        xmlFreeDoc(doc);
        return nullptr;
    }
    return doc;
}

int configLoadFile(const char *path, GHashTable *table)
{
    xmlDocPtr doc = configParse(path);
    if (!doc)
        return CONFIG_ERROR;
    if (table)
        configWalk(xmlDocGetRootElement(doc), table, loadParameter);
    xmlFreeDoc(doc);
    return CONFIG_OK;
}

int configSaveFile(const char *path, GHashTable *table)
{
    xmlDocPtr doc = configParse(path);
    if (!doc)
        return CONFIG_ERROR;
    if (table)
        configWalk(xmlDocGetRootElement(doc), table, saveParameter);
    int result = CONFIG_OK;
    if (xmlSaveFile(path, doc) < 0) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Configuration Error: cant save file", __func__);
        result = CONFIG_ERROR;
    }
    xmlFreeDoc(doc);
    return result;
}
