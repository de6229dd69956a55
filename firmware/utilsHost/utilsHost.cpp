#include "utilsHost/utilsHost.h"

#include "hal/hal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static pthread_mutex_t utilsBufferMutex = PTHREAD_MUTEX_INITIALIZER;

#define UTILS_LOG(category, priority, ...)                                                    \
    do {                                                                                     \
        if (category)                                                                        \
            log4c_category_log((category), (priority), __VA_ARGS__);                         \
    } while (0)

int runCommand(log4c_category_t *category, const char *command)
{
    int status = halRunCommand(command);
    if (status == -1) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR,
                  "%s cannot create command processor(typically: the shell process) for %s", __func__,
                  command ? command : "(null)");
        return -1;
    }
    if (WIFSIGNALED(status)) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR,
                  "%s %s was terminated by signal or dumped core. terminating signal is %d", __func__, command,
                  WTERMSIG(status));
        return WTERMSIG(status);
    }
    int exitStatus = WEXITSTATUS(status);
    UTILS_LOG(category, LOG4C_PRIORITY_INFO, "%s %s was executed, exit status is %d", __func__, command, exitStatus);
    return exitStatus;
}

/* True when `line` is an entry of `key`: the key's characters, then '='. */
static bool keyMatches(const char *line, size_t lineLength, const char *key, size_t keyLength)
{
    return lineLength > keyLength && memcmp(line, key, keyLength) == 0 && line[keyLength] == '=';
}

/*
 * Copies a value that fits the caller's buffer, terminated. A longer one is
 * refused with a line naming where it came from: a cut value would be taken
 * for the real one.
 */
static bool copyValue(log4c_category_t *category, const char *caller, const char *where, const char *key,
                      char *value, size_t valueSize, const char *from, size_t length)
{
    if (valueSize == 0 || length > valueSize - 1) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: the value of %s in %s is %zu bytes, more than the %zu it may have: refused",
                  caller, key, where, length, valueSize == 0 ? (size_t)0 : valueSize - 1);
        return false;
    }
    memcpy(value, from, length);
    value[length] = '\0';
    return true;
}

int utils_getKeyValueFromFile(log4c_category_t *category, const char *path, const char *key, char *value,
                              size_t valueSize)
{
    if (!path || !key || !value)
        return UTILS_NOT_FOUND;
    UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: Going to open the file %s...", __func__, path);
    FILE *file = fopen(path, "r");
    if (!file) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: Couldnt open the file.", __func__);
        return UTILS_NOT_FOUND;
    }
    size_t keyLength = strlen(key);
    /* Whole lines, however long: a line is never read as two. */
    char *line = nullptr;
    size_t capacity = 0;
    int found = 0;
    while (getline(&line, &capacity, file) >= 0) {
        size_t length = strcspn(line, "\r\n");
        if (!keyMatches(line, length, key, keyLength))
            continue;
        if (copyValue(category, __func__, path, key, value, valueSize, line + keyLength + 1, length - keyLength - 1))
            found = 1;
    }
    free(line);
    if (found)
        UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: The key %s found in %s. The value is %s", __func__, key, path,
                  value);
    else
        UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: The key %s not found in %s.", __func__, key, path);
    UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: Closing File. file_p %d.", __func__, fileno(file));
    fclose(file);
    return found ? UTILS_OK : UTILS_NOT_FOUND;
}

/*
 * The key=value rewrite shared by the file and buffer forms: drops every
 * entry of `key` and blank lines, appends key=value. `text` is the old text.
 */
static int rewriteKeyValue(log4c_category_t *category, const char *caller, const std::string &text, const char *key,
                           const char *value, std::string *out)
{
    bool endsWithNewline = !text.empty() && text.back() == '\n';
    /* The text, one terminator per line and the closing empty entry must fit the work area. */
    if (text.size() + (endsWithNewline ? 0 : 1) + 1 > UTILS_KEY_VALUE_MAX) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: ## Error: environment not terminated", caller);
        errno = EINVAL;
        return UTILS_NOT_TERMINATED;
    }
    size_t keyLength = strlen(key);
    std::string kept;
    size_t position = 0;
    bool existed = false;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos)
            end = text.size();
        const char *line = text.data() + position;
        size_t length = end - position;
        if (length > 0 && keyMatches(line, length, key, keyLength)) {
            existed = true;
            UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: The key \"%s\" already exists. env \"%.*s\"", caller, key,
                      (int)length, line);
        } else if (length > 0) {
            kept.append(line, length);
            kept.push_back('\n');
        }
        position = end + 1;
    }
    (void)existed;
    size_t valueLength = strlen(value);
    if (kept.size() + keyLength + valueLength + 3 > UTILS_KEY_VALUE_MAX) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: Error: environment overflow, \"%s\" deleted", caller, key);
        return UTILS_ERROR;
    }
    UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: Adding the keyValue to the end of the file.", caller);
    kept.append(key);
    kept.push_back('=');
    kept.append(value);
    kept.push_back('\n');
    *out = kept;
    return UTILS_OK;
}

static bool readWholeFile(log4c_category_t *category, const char *path, std::string *text)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        char cwd[PATH_MAX];
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot open the file %s. getcwd is %s", __func__, path,
                  getcwd(cwd, sizeof cwd) ? cwd : "?");
        return false;
    }
    struct stat st;
    bool ok = false;
    if (fstat(fd, &st) != 0) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot get file size %s", __func__, path);
    } else if (st.st_size > UTILS_KEY_VALUE_MAX - 1) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR,
                  "%s: Error: the file size %d is bigger than the local buffer size %d", __func__, (int)st.st_size,
                  UTILS_KEY_VALUE_MAX);
    } else {
        text->resize((size_t)st.st_size);
        ssize_t got = text->empty() ? 0 : read(fd, &(*text)[0], text->size());
        if (got < 0)
            UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot read config: %s", __func__, strerror(errno));
        else if ((size_t)got != text->size())
            UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot read config. got %d, expected %d", __func__,
                      (int)got, (int)text->size());
        else
            ok = !text->empty();
    }
    close(fd);
    return ok;
}

/* Writes `text` to a temporary file beside `path` and renames it over `path`. */
static bool replaceFile(log4c_category_t *category, const char *path, const std::string &text)
{
    struct stat st;
    mode_t mode = stat(path, &st) == 0 ? (st.st_mode & 07777) : 0644;
    std::string temporary = std::string(path) + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        char cwd[PATH_MAX];
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot open config file %s. getcwd is %s", __func__,
                  temporary.c_str(), getcwd(cwd, sizeof cwd) ? cwd : "?");
        return false;
    }
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += (size_t)n;
    }
    bool ok = written == text.size() && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(temporary.c_str(), path) != 0)
        ok = false;
    if (!ok) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR, "%s: cannot write config. got %d, expected %d (%s)", __func__,
                  (int)written, (int)text.size(), strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: Done writing to file %s, wrote %d characters.", __func__, path,
              (int)written);
    return true;
}

int utils_setKeyValueToFile(log4c_category_t *category, const char *path, const char *key, const char *value)
{
    if (!path || !key || !value)
        return UTILS_ERROR;
    UTILS_LOG(category, LOG4C_PRIORITY_NOTICE, "%s: file %s, Key \"%s\", Value \"%s\".", __func__, path, key, value);
    std::string text;
    if (!readWholeFile(category, path, &text))
        return UTILS_NOT_FOUND;
    std::string updated;
    int result = rewriteKeyValue(category, __func__, text, key, value, &updated);
    if (result != UTILS_OK)
        return result;
    return replaceFile(category, path, updated) ? UTILS_OK : UTILS_NOT_FOUND;
}

int utils_getKeyValueFromBuffer(log4c_category_t *category, const char *buffer, size_t size, const char *key,
                                char *value, size_t valueSize)
{
    if (!buffer || !key || !value)
        return UTILS_NOT_FOUND;
    pthread_mutex_lock(&utilsBufferMutex);
    std::string text(buffer, strnlen(buffer, size));
    size_t keyLength = strlen(key);
    int found = 0;
    size_t position = 0;
    while (position < text.size() && !found) {
        size_t end = text.find('\n', position);
        if (end == std::string::npos)
            end = text.size();
        const char *line = text.data() + position;
        size_t length = end - position;
        if (length > 0) {
            UTILS_LOG(category, LOG4C_PRIORITY_TRACE, "%s: Line is %.*s.", __func__, (int)length, line);
            if (keyMatches(line, length, key, keyLength)) {
                found = copyValue(category, __func__, "the buffer", key, value, valueSize, line + keyLength + 1,
                                  length - keyLength - 1);
            }
        }
        position = end + 1;
    }
    if (found)
        UTILS_LOG(category, LOG4C_PRIORITY_TRACE, "%s: The key %s found in buffer. The value is %s", __func__, key,
                  value);
    else
        UTILS_LOG(category, LOG4C_PRIORITY_TRACE, "%s: The key %s not found in buffer.", __func__, key);
    pthread_mutex_unlock(&utilsBufferMutex);
    return found ? UTILS_OK : UTILS_NOT_FOUND;
}

int utils_setKeyValueToBuffer(log4c_category_t *category, char *buffer, size_t *size, size_t capacity,
                              const char *key, const char *value)
{
    if (!buffer || !size || !key || !value || *size > UTILS_KEY_VALUE_MAX) {
        UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: Error. Bad arguments", __func__);
        return UTILS_ERROR;
    }
    std::string text(buffer, strnlen(buffer, *size));
    std::string updated;
    int result = rewriteKeyValue(category, __func__, text, key, value, &updated);
    if (result != UTILS_OK)
        return result;
    if (updated.size() > capacity) {
        UTILS_LOG(category, LOG4C_PRIORITY_ERROR,
                  "%s: Error: The new buffer is bigger than the original buffer can fit.", __func__);
        return UTILS_ERROR;
    }
    memcpy(buffer, updated.data(), updated.size());
    if (updated.size() < capacity)
        buffer[updated.size()] = '\0';
    UTILS_LOG(category, LOG4C_PRIORITY_DEBUG, "%s: The buffer was %d bytes, now its %d bytes.", __func__, (int)*size,
              (int)updated.size());
    *size = updated.size();
    return UTILS_OK;
}
