#include "tests/support/scripted_service.h"

#include <fstream>
#include <stdexcept>
#include <utility>

#include "tests/support/control_fields.h"
#include "tests/support/scripted_service_io.h"
#include "tests/support/temp_dir.h"

namespace zvq::testing {

namespace {

std::string_view TrimBlanks(std::string_view AText) {
  while (!AText.empty() && (AText.front() == ' ' || AText.front() == '\t')) AText.remove_prefix(1);
  while (!AText.empty() && (AText.back() == ' ' || AText.back() == '\t')) AText.remove_suffix(1);
  return AText;
}

ReceivedRequest Parse(std::string ARaw) {
  ReceivedRequest request;
  const std::string_view raw = ARaw;
  const auto headEnd = raw.find("\r\n\r\n");
  const std::string_view head = raw.substr(0, headEnd);
  request.Body = headEnd == std::string_view::npos ? std::string() : std::string(raw.substr(headEnd + 4));
  auto lineEnd = head.find("\r\n");
  const std::string_view requestLine = head.substr(0, lineEnd);
  const auto first = requestLine.find(' ');
  const auto second = requestLine.find(' ', first + 1);
  request.Method = std::string(requestLine.substr(0, first));
  if (first != std::string_view::npos)
    request.Target = std::string(requestLine.substr(first + 1, second - first - 1));
  while (lineEnd != std::string_view::npos) {
    const auto start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string_view line =
        head.substr(start, lineEnd == std::string_view::npos ? lineEnd : lineEnd - start);
    const auto colon = line.find(':');
    request.Headers.push_back(
        {std::string(line.substr(0, colon)),
         colon == std::string_view::npos ? std::string() : std::string(TrimBlanks(line.substr(colon + 1)))});
  }
  request.Raw = std::move(ARaw);
  return request;
}

}  // namespace

ScriptedService ScriptedService::Start() {
  ScriptedService service;
  const auto process = scripted::LaunchService();
  service.FControlPort = process.ControlPort;
  service.FProcess = process.Process;
  service.FStdin = process.Stdin;
  const auto info = service.Call({"info"});
  if (info.size() != 5) throw std::runtime_error("scripted service: unexpected answer to info");
  for (int i = 0; i < 3; ++i) service.FPorts[i] = static_cast<std::uint16_t>(std::stoul(info[1 + i]));
  service.FDirectory = std::make_unique<TempDir>();
  service.FCaFile = *service.FDirectory / "scripted-service-ca.pem";
  std::ofstream(service.FCaFile, std::ios::binary) << info[4];
  // A service shared by several test programs still holds the script of the one before.
  service.Clear();
  return service;
}

ScriptedService::~ScriptedService() {
  if (FControlPort != 0) scripted::EndService({FControlPort, FProcess, FStdin});
}

ScriptedService::ScriptedService(ScriptedService&& AOther) noexcept
    : FControlPort(std::exchange(AOther.FControlPort, 0)),
      FProcess(std::exchange(AOther.FProcess, 0)),
      FStdin(std::exchange(AOther.FStdin, -1)),
      FPorts{AOther.FPorts[0], AOther.FPorts[1], AOther.FPorts[2]},
      FDirectory(std::move(AOther.FDirectory)),
      FCaFile(std::move(AOther.FCaFile)) {}

std::string ScriptedService::BaseUrl(Listener AListener) const {
  return "https://localhost:" + std::to_string(FPorts[static_cast<int>(AListener)]);
}

std::string ScriptedService::Url(std::string_view APath, Listener AListener) const {
  return BaseUrl(AListener) + std::string(APath);
}

void ScriptedService::Reply(std::string_view APath, ScriptedReply AReply) {
  std::vector<std::string> fields{"reply",
                                  std::string(APath),
                                  std::to_string(AReply.Status),
                                  std::to_string(static_cast<int>(AReply.Fault)),
                                  std::to_string(AReply.Interval.count()),
                                  std::to_string(AReply.Count),
                                  std::move(AReply.Body)};
  for (auto& header : AReply.Headers) {
    fields.push_back(std::move(header.Name));
    fields.push_back(std::move(header.Value));
  }
  Call(fields);
}

void ScriptedService::Reply(std::string_view APath, int AStatus, std::vector<HeaderLine> AHeaders,
                            std::string ABody) {
  Reply(APath, ScriptedReply{AStatus, std::move(AHeaders), std::move(ABody)});
}

void ScriptedService::Fault(std::string_view APath, FaultMode AMode, ScriptedReply AReply) {
  AReply.Fault = AMode;
  Reply(APath, std::move(AReply));
}

std::vector<ReceivedRequest> ScriptedService::Requests() const {
  auto fields = Call({"requests"});
  std::vector<ReceivedRequest> requests;
  for (std::size_t i = 1; i < fields.size(); ++i) requests.push_back(Parse(std::move(fields[i])));
  return requests;
}

void ScriptedService::Clear() { Call({"clear"}); }

std::vector<std::string> ScriptedService::Call(const std::vector<std::string>& AFields) const {
  auto answer = control::Fields(scripted::Exchange(FControlPort, control::Message(AFields)));
  if (answer.empty() || answer[0] != "ok")
    throw std::runtime_error("scripted service: " +
                             (answer.size() > 1 ? answer[1] : std::string("no answer")));
  return answer;
}

}  // namespace zvq::testing
