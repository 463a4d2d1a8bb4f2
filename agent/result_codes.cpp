// The agent result code table and its lookup.
#include "kmsrv/result_codes.h"

const AgentResultCodeText g_agentResultCodes[] = {
    {0, u"Success"},
    {400, u"Unknown command"},
    {401, u"Authentication required"},
    {403, u"Access denied"},
    {404, u"Unknown parameter"},
    {408, u"Request timeout"},
    {440, u"Authentication failed"},
    {441, u"Already authenticated"},
    {442, u"Authentication not required"},
    {500, u"Internal error"},
    {501, u"Not implemented"},
    {503, u"Out of resources"},
    {900, u"Not connected"},
    {901, u"Connection broken"},
    {902, u"Bad response"},
    {903, u"I/O failure"},
    {904, u"Resource busy"},
    {905, u"External program execution failed"},
    {906, u"Encryption required"},
    {907, u"No acceptable ciphers"},
    {908, u"Invalid public key"},
    {909, u"Invalid session key"},
    {910, u"Connect failed"},
    {911, u"Malformed command"},
    {912, u"Socket error"},
    {913, u"Bad arguments"},
    {914, u"Subagent load failed"},
    {915, u"File open error"},
    {916, u"File stat filed"},  // the published text, misspelling included
    {917, u"Memory allocation failed"},
    {918, u"File delete failed"},
    {919, u"Agent busy: too many sessions"},
    {920, u"TLS session setup failed"},
    {-1, nullptr},
};

const char16_t *AgentErrorCodeToText(int32_t code) {
  // The terminating entry ends the scan before its code is compared, so -1
  // is unknown like any other code outside the table.
  for (const AgentResultCodeText *e = g_agentResultCodes; e->text != nullptr; ++e) {
    if (e->code == code) return e->text;
  }
  return u"Unknown error code";
}
