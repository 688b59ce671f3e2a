// The program's one base64 codec, shared by every mail transfer of the run.
#include "common/text/Base64Codec.h"

Base64Codec Codec;
