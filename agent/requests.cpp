// Parameter, list and table requests of AgentConnection. Every request runs
// the session's request cycle (executeRequest); what follows is only how each
// one builds its message and reads its reply.
#include <cstdlib>
#include <new>

#include "kmbase/message.h"
#include "kmbase/struct_array.h"
#include "kmbase/table.h"
#include "kmsrv/agent.h"
#include "kmsrv/debug.h"
#include "kmsrv/protocol.h"

namespace {

// Default port of each checkNetworkService service type; a type outside the
// table takes entry 0.
constexpr uint16_t kDefaultServicePorts[] = {7, 22, 110, 25, 21, 80};
constexpr uint16_t kDefaultServiceProtocol = 6;  // TCP

// A count the agent reports is believed only when its reply could hold that
// many items: every item takes at least one field. This keeps a hostile count
// from driving an allocation larger than the reply itself.
bool CountFitsReply(const CSCPMessage &reply, uint32_t count) {
  return count <= reply.GetNumFields();
}

}  // namespace

uint32_t AgentConnection::getParameter(const char16_t *name, uint32_t bufSize, char16_t *buffer) {
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_GET_PARAMETER);
  msg.SetVariable(VAR_PARAMETER, name);
  return executeRequest(&msg, true, commandTimeout.load(),
                        [&](const CSCPMessage &reply, uint32_t rcc) {
                          if (rcc == RCC_SUCCESS && buffer != nullptr && bufSize > 0)
                            reply.GetVariableStr(VAR_VALUE, buffer, bufSize);
                          return rcc;
                        });
}

uint32_t AgentConnection::getList(const char16_t *name) {
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_GET_LIST);
  msg.SetVariable(VAR_PARAMETER, name);
  if (!connected) return RCC_NOT_CONNECTED;
  destroyResultData();
  return executeRequest(&msg, true, commandTimeout.load(),
                        [&](const CSCPMessage &reply, uint32_t rcc) -> uint32_t {
                          if (rcc != RCC_SUCCESS) return rcc;
                          uint32_t count = 0;
                          if (!reply.GetVariableOptional(VAR_NUM_STRINGS, 0u, &count))
                            return RCC_BAD_RESPONSE;
                          if (count == 0) return rcc;
                          if (!CountFitsReply(reply, count)) return RCC_BAD_RESPONSE;
                          auto **lines = static_cast<char16_t **>(calloc(count, sizeof(char16_t *)));
                          if (lines == nullptr) return RCC_OUT_OF_MEMORY;
                          for (uint32_t i = 0; i < count; i++)
                            lines[i] = reply.GetVariableStr(VAR_LIST_BASE + i);
                          dataLines = lines;
                          numDataLines = count;
                          return rcc;
                        });
}

uint32_t AgentConnection::getTable(const char16_t *name, Table **table) {
  *table = nullptr;
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_GET_TABLE);
  msg.SetVariable(VAR_PARAMETER, name);
  return executeRequest(&msg, true, commandTimeout.load(),
                        [&](const CSCPMessage &reply, uint32_t rcc) -> uint32_t {
                          if (rcc != RCC_SUCCESS) return rcc;
                          auto *result = new (std::nothrow) Table();
                          if (result == nullptr) return RCC_OUT_OF_MEMORY;
                          if (!result->loadMessage(reply)) {
                            delete result;
                            return RCC_BAD_RESPONSE;
                          }
                          *table = result;
                          return rcc;
                        });
}

uint32_t AgentConnection::execAction(const char16_t *action, int32_t numArgs, char16_t **args) {
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_EXEC_ACTION);
  msg.SetVariable(VAR_ACTION_NAME, action);
  msg.SetVariable(VAR_NUM_ARGS, static_cast<uint32_t>(numArgs));
  for (int32_t i = 0; i < numArgs && args != nullptr; i++)
    msg.SetVariable(VAR_LIST_BASE + static_cast<uint32_t>(i), args[i]);
  return executeRequest(&msg, true, commandTimeout.load());
}

uint32_t AgentConnection::checkNetworkService(uint32_t *status, uint32_t ipAddr,
                                              int32_t serviceType, uint16_t port,
                                              uint16_t protocol, const char16_t *request,
                                              const char16_t *response) {
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_CHECK_SERVICE);
  uint32_t type = static_cast<uint32_t>(serviceType);
  uint16_t defaultPort = kDefaultServicePorts[type < std::size(kDefaultServicePorts) ? type : 0];
  msg.SetVariable(VAR_IP_ADDRESS, ipAddr);
  msg.SetVariable(VAR_SERVICE_TYPE, static_cast<uint16_t>(serviceType));
  msg.SetVariable(VAR_IP_PORT, static_cast<uint16_t>(port != 0 ? port : defaultPort));
  msg.SetVariable(VAR_IP_PROTOCOL,
                  static_cast<uint16_t>(protocol != 0 ? protocol : kDefaultServiceProtocol));
  msg.SetVariable(VAR_SERVICE_REQUEST, request);
  msg.SetVariable(VAR_SERVICE_RESPONSE, response);
  return executeRequest(&msg, true, kServiceCheckTimeout,
                        [&](const CSCPMessage &reply, uint32_t rcc) {
                          uint32_t value = 0;
                          if (rcc != RCC_SUCCESS) return rcc;
                          if (!reply.GetVariableOptional(VAR_SERVICE_STATUS, 0u, &value))
                            return RCC_BAD_RESPONSE;
                          if (status != nullptr) *status = value;
                          return rcc;
                        });
}

uint32_t AgentConnection::getSupportedParameters(StructArray<KMC_AGENT_PARAM> **paramList,
                                                 StructArray<KMC_AGENT_TABLE> **tableList) {
  *paramList = nullptr;
  *tableList = nullptr;
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_GET_PARAMETER_LIST);
  return executeRequest(
      &msg, true, commandTimeout.load(), [&](const CSCPMessage &reply, uint32_t rcc) -> uint32_t {
        DbgPrintf(6, u"AgentConnection::getSupportedParameters(): RCC=%d", rcc);
        if (rcc != RCC_SUCCESS) return rcc;
        uint32_t numParams = 0;
        uint32_t numTables = 0;
        if (!reply.GetVariableOptional(VAR_NUM_PARAMETERS, 0u, &numParams) ||
            !reply.GetVariableOptional(VAR_NUM_TABLES, 0u, &numTables) ||
            !CountFitsReply(reply, numParams) || !CountFitsReply(reply, numTables))
          return RCC_BAD_RESPONSE;
        StructArray<KMC_AGENT_PARAM> *params = StructArray<KMC_AGENT_PARAM>::create(numParams);
        StructArray<KMC_AGENT_TABLE> *tables = StructArray<KMC_AGENT_TABLE>::create(numTables);
        if (params == nullptr || tables == nullptr) {
          delete params;
          delete tables;
          return RCC_OUT_OF_MEMORY;
        }
        for (uint32_t i = 0; i < numParams; i++) {
          KMC_AGENT_PARAM &p = (*params)[i];
          uint32_t id = VAR_LIST_BASE + 3 * i;
          reply.GetVariableStr(id, p.name, KMC_AGENT_NAME_LENGTH);
          reply.GetVariableStr(id + 1, p.description, KMC_AGENT_NAME_LENGTH);
          uint16_t dataType = 0;
          reply.GetVariableOptional<uint16_t>(id + 2, 0, &dataType);  // another width: 0
          p.dataType = dataType;
        }
        *paramList = params;
        DbgPrintf(6, u"AgentConnection::getSupportedParameters(): %d parameters received from agent",
                  numParams);
        for (uint32_t i = 0; i < numTables; i++) {
          KMC_AGENT_TABLE &t = (*tables)[i];
          uint32_t id = VAR_TABLE_LIST_BASE + 3 * i;
          reply.GetVariableStr(id, t.name, KMC_AGENT_NAME_LENGTH);
          reply.GetVariableStr(id + 1, t.auxInfo, KMC_AGENT_AUX_INFO_LENGTH);
          reply.GetVariableStr(id + 2, t.description, KMC_AGENT_NAME_LENGTH);
        }
        *tableList = tables;
        DbgPrintf(6, u"AgentConnection::getSupportedParameters(): %d tables received from agent",
                  numTables);
        return rcc;
      });
}

uint32_t AgentConnection::enableTraps() {
  CSCPMessage msg(protocolVersion.load());
  msg.SetCode(MC_ENABLE_TRAPS);
  return executeRequest(&msg, false, commandTimeout.load());
}
