#include <termios.h>
int Compare() { return strcasecmp("a", "b"); }
