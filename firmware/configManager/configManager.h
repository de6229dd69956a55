#ifndef KVR_CONFIGMANAGER_H
#define KVR_CONFIGMANAGER_H

/* Layer: services. May include serviceManager and hal; it lends the service manager its key reader. */

/*
 * The configuration manager (service "configManager", no thread): a table of
 * the known keys with their defaults (all integers, 0), overlaid at init by
 * "/usr/local/q7/firmware/configuration.xml". Values are read by key from any
 * thread; they are written during start-up only.
 */

#include <cstdint>
#include <glib.h>

struct serviceDescriptor;

enum { CONFIG_TYPE_INT = 0, CONFIG_TYPE_STRING = 1 };
enum { CONFIG_STRING_MAX = 100 };          /* characters of a string value */
enum { CONFIG_OK = 0, CONFIG_ERROR = 4 };

#define CONFIG_FILE_PATH "/usr/local/q7/firmware/configuration.xml"

/*
 * One key and its value. An integer's text in the file must be a whole
 * decimal number from minValue to maxValue; any other text is refused with a
 * line naming the file, the key and the text, and defaultValue stands. With
 * reportMissing, a file without the key says so too.
 */
struct configEntry_t {
    const char *key; /* "section.name.parameter" */
    uint32_t type;   /* CONFIG_TYPE_INT or CONFIG_TYPE_STRING */
    int32_t intValue;
    char stringValue[CONFIG_STRING_MAX + 1]; /* always terminated */
    int32_t minValue = INT32_MIN;
    int32_t maxValue = INT32_MAX;
    int32_t defaultValue = 0;
    int reportMissing = 0;
};

extern serviceDescriptor configManagerService;

/* Service init: builds the key table and loads the configuration file. */
void configManagerInit(serviceDescriptor *service);

/*
 * Integer value of a key: what the file set when it was a number in the key's
 * range, else the key's default. An unknown key logs and gives 0. key must not
 * be null. Every reader of an integer setting goes through here.
 */
int configGetIntValue(const char *key);
void configSetIntValue(const char *key, int value);

/* Text of a string key (null for an unknown key); the pointer stays valid. */
const char *configGetStringValue(const char *key);
/* Copies at most 100 characters of text into a string key. */
void configSetStringValue(const char *key, const char *text);

/*
 * Builds a table (key -> configEntry_t*) over `count` entries; the entries
 * must outlive it. Free with g_hash_table_destroy.
 */
GHashTable *configManagerBuildTable(configEntry_t *entries, size_t count);

/* The manager's own table (null before configManagerInit). */
GHashTable *configManagerTable(void);

/*
 * Text to integer as the file's integers are read: optional blanks, an
 * optional sign, decimal digits, optional blanks, and nothing else, within
 * [minValue, maxValue]. 0 and the number in *value, -1 otherwise (*value
 * untouched).
 */
int configManagerParseInt(const char *text, int32_t minValue, int32_t maxValue, int32_t *value);

/*
 * Overlays the values of the XML file at host path `path` on the table;
 * integers whose text configManagerParseInt refuses keep their value, with a line.
 * 0 success, 4 when the file cannot be parsed or its root is not "configuration".
 */
int configLoadFile(const char *path, GHashTable *table);

/*
 * Writes the table's current values into the elements of the XML file at
 * `path` and saves it. 0 success, 4 when the file cannot be parsed or saved.
 */
int configSaveFile(const char *path, GHashTable *table);

#endif
