// Standard input, output and error, as the program finds them when it starts.
#ifndef KEHRLUND_STANDARDSTREAMS_H
#define KEHRLUND_STANDARDSTREAMS_H

// Started with one of them closed (`kehrlund <&- 2>&-`), the next file opened would take its
// number: the run log would become standard error and take the console's lines. Each closed one
// is opened on the null device first, before anything else is opened.
void openClosedStandardStreams();

#endif
