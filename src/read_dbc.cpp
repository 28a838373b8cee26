// Parameter database lookups through get_xml_content, and DTC decoding.
#include "j1939_stack.h"
