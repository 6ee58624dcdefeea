// How a port is shown to a person and filed in the registry: port names are
// kept in the form in which they are opened ("\\.\Com12"), and shown as the
// text after the last backslash ("Com12").
#pragma once

const char* ShownPortName(const char* name);
