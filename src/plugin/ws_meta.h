// The program's static self-description, printed by more than one mode.
#pragma once

extern const char WS_VERSION[];      // "1.0.3"
extern const char WS_TOOL_SCHEMA[];  // compact JSON array of the two tools
extern const char WS_HELP_TEXT[];    // the eighteen lines of --help

// Writes the one-line discovery record, flushes, returns 0.
int mode_meta(void);
// Writes the help text in one write.
void print_help(void);
