#include "configManager/configManager.h"

#include "hal/hal.h"
#include "serviceManager/serviceManager.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <log4c.h>
#include <string>
#include <vector>

#define CONFIG_INT(key, low, high, initial, missingSaid) {key, CONFIG_TYPE_INT, 0, "", low, high, initial, missingSaid}
#define CONFIG_ENABLE(name) CONFIG_INT("service." name ".enable", 0, 1, 0, 0)
#define CONFIG_POSTPONE(name) CONFIG_INT("service." name ".postponeStartup", 0, INT32_MAX, 0, 0)
#define CONFIG_SERVICE(name) CONFIG_ENABLE(name), CONFIG_POSTPONE(name)
/* A card's fifo port: a TCP port, never 0 (which would bind wherever the system likes). */
#define CONFIG_FIFO_PORT(letter, initial) CONFIG_INT("service.fifoServer.port" letter, 1, 65535, initial, 1)

/*
 * Every known key. A service runs only when the file enables it; a fifo
 * server card listens on 6001 to 6006 unless the file says otherwise.
 */
static configEntry_t configTableEntries[] = {
    CONFIG_INT("service.debuger.port", 0, 65535, 0, 0),
    CONFIG_SERVICE("debuger"),
    CONFIG_POSTPONE("configManager"),
    CONFIG_SERVICE("deviceManager"),
    CONFIG_SERVICE("layoutManager"),
    CONFIG_SERVICE("ledManager"),
    CONFIG_SERVICE("pcodeProcessor"),
    CONFIG_SERVICE("systemConfigHandler"),
    CONFIG_SERVICE("strata"),
    CONFIG_SERVICE("interruptController"),
    CONFIG_SERVICE("probing"),
    CONFIG_SERVICE("fifoServer"),
    CONFIG_FIFO_PORT("A", 6001),
    CONFIG_FIFO_PORT("B", 6002),
    CONFIG_FIFO_PORT("C", 6003),
    CONFIG_FIFO_PORT("D", 6004),
    CONFIG_FIFO_PORT("E", 6005),
    CONFIG_FIFO_PORT("F", 6006),
    CONFIG_SERVICE("persistentDataStorage"),
    CONFIG_SERVICE("ethernetProbing"),
    CONFIG_SERVICE("loudnessManager"),
    CONFIG_SERVICE("hdrManager"),
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

GHashTable *configManagerBuildTable(configEntry_t *entries, size_t count)
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
        entry.intValue = entry.defaultValue;
        entry.stringValue[0] = '\0';
    }
    configContext.table = configManagerBuildTable(configTableEntries, sizeof configTableEntries / sizeof configTableEntries[0]);
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

/* What one pass over a file knows: its path and the keys it set. */
struct configPass_t {
    const char *path;
    GHashTable *seen; /* configEntry_t* set; null when nobody asks */
};

/* Called for every parameter element whose key is in the table. */
typedef void (*configParameterVisitor)(xmlNodePtr parameter, configEntry_t *entry, configPass_t *pass);

static std::string nodeText(xmlNodePtr node)
{
    xmlChar *content = xmlNodeGetContent(node);
    std::string text = content ? (const char *)content : "";
    xmlFree(content);
    return text;
}

int configManagerParseInt(const char *text, int32_t minValue, int32_t maxValue, int32_t *value)
{
    if (!text || !value)
        return -1;
    const char *at = text;
    while (isspace((unsigned char)*at))
        at++;
    /* strtol would take "0x", skip a second sign or read "1abc" as 1: accept only [+-]digits. */
    const char *digits = at + (*at == '+' || *at == '-');
    if (!isdigit((unsigned char)*digits))
        return -1;
    errno = 0;
    char *end = nullptr;
    long long number = strtoll(at, &end, 10);
    if (errno == ERANGE)
        return -1;
    while (isspace((unsigned char)*end))
        end++;
    if (*end != '\0' || number < minValue || number > maxValue)
        return -1;
    *value = (int32_t)number;
    return 0;
}

static void loadInt(configEntry_t *entry, const std::string &text, const char *path)
{
    int32_t value = 0;
    if (configManagerParseInt(text.c_str(), entry->minValue, entry->maxValue, &value) == 0) {
        entry->intValue = value;
        return;
    }
    log4c_category_log(configCategory(), LOG4C_PRIORITY_WARN,
                       "%s: %s: %s = \"%s\" refused, it is not a whole number from %d to %d: %d used", __func__,
                       path ? path : "(no path)", entry->key, text.c_str(), (int)entry->minValue, (int)entry->maxValue,
                       (int)entry->defaultValue);
    entry->intValue = entry->defaultValue;
}

static void loadParameter(xmlNodePtr parameter, configEntry_t *entry, configPass_t *pass)
{
    std::string text = nodeText(parameter);
    if (pass->seen)
        g_hash_table_add(pass->seen, entry);
    if (entry->type == CONFIG_TYPE_INT)
        loadInt(entry, text, pass->path);
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

static void saveParameter(xmlNodePtr parameter, configEntry_t *entry, configPass_t *pass)
{
    (void)pass;
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
static void configWalk(xmlNodePtr root, GHashTable *table, configParameterVisitor visit, configPass_t *pass)
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
                visit(parameter, entry, pass);
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

/* A key whose absence matters is named, with the value it keeps. */
static void configReportMissing(GHashTable *table, configPass_t *pass)
{
    std::vector<configEntry_t *> missing;
    GHashTableIter iter;
    gpointer key, value;
    g_hash_table_iter_init(&iter, table);
    while (g_hash_table_iter_next(&iter, &key, &value)) {
        configEntry_t *entry = (configEntry_t *)value;
        if (entry->reportMissing && !g_hash_table_contains(pass->seen, entry))
            missing.push_back(entry);
    }
    /* In key order, whatever order the hash table keeps. */
    std::sort(missing.begin(), missing.end(),
              [](const configEntry_t *a, const configEntry_t *b) { return strcmp(a->key, b->key) < 0; });
    for (configEntry_t *entry : missing) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_NOTICE, "%s: %s: %s is not set: %d used", __func__,
                           pass->path ? pass->path : "(no path)", entry->key,
                           entry->type == CONFIG_TYPE_INT ? (int)entry->intValue : 0);
    }
}

int configLoadFile(const char *path, GHashTable *table)
{
    xmlDocPtr doc = configParse(path);
    if (!doc)
        return CONFIG_ERROR;
    if (table) {
        configPass_t pass = {path, g_hash_table_new(g_direct_hash, g_direct_equal)};
        configWalk(xmlDocGetRootElement(doc), table, loadParameter, &pass);
        configReportMissing(table, &pass);
        g_hash_table_destroy(pass.seen);
    }
    xmlFreeDoc(doc);
    return CONFIG_OK;
}

int configSaveFile(const char *path, GHashTable *table)
{
    xmlDocPtr doc = configParse(path);
    if (!doc)
        return CONFIG_ERROR;
    configPass_t pass = {path, nullptr};
    if (table)
        configWalk(xmlDocGetRootElement(doc), table, saveParameter, &pass);
    int result = CONFIG_OK;
    if (xmlSaveFile(path, doc) < 0) {
        log4c_category_log(configCategory(), LOG4C_PRIORITY_ERROR, "%s: Configuration Error: cant save file", __func__);
        result = CONFIG_ERROR;
    }
    xmlFreeDoc(doc);
    return result;
}
