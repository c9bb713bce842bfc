// Decodes PARAMFMT/PARAMFMT2 and the PARAMS token that follows it.
#ifndef PAAGENT_TDS_PARAM_DECODER_H
#define PAAGENT_TDS_PARAM_DECODER_H

#include <vector>

#include "tds/byte_reader.h"
#include "tds/request.h"

namespace paagent::tds {

// Reads a parameter format token (its token byte already consumed) followed by PARAMS.
std::vector<Param> DecodeParams(ByteReader &in, std::uint8_t format_token);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_PARAM_DECODER_H
