// A comment naming <unistd.h> and strcasecmp is not code.
#include <string>
#include <poll.h>
#include "platform/nocase.h"

int Compare(const char* a, const char* b) { return strcasecmp(a, b); }  // [x]; y
#define SET(x) \
    x;         \
    setenv("A", "b", 1);
  #  include <sys/stat.h>
int environment = 0;
