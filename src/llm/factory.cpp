#include "norvex/error.hpp"
#include "norvex/llm/cassette.hpp"
#include "norvex/llm/openai_client.hpp"

namespace norvex::llm {

std::shared_ptr<ChatModel> make_chat_model(const ModelSettings& settings, int max_tokens,
                                           double temperature, const Json& model_kwargs) {
  check_no_extra_fields(settings);
  std::shared_ptr<ChatModel> model;
  switch (settings.provider) {
    case Provider::replay:
      if (settings.cassette.empty()) {
        throw ArgumentError("provider replay needs the model settings field 'cassette'");
      }
      return std::make_shared<ReplayChatModel>(settings.cassette);
    case Provider::openai:
      model = std::make_shared<ChatOpenAI>(settings, max_tokens, temperature, model_kwargs);
      break;
    case Provider::azure:
      model = std::make_shared<AzureChatOpenAI>(settings, max_tokens, temperature, model_kwargs);
      break;
  }
  if (!settings.record_to.empty()) {
    model = std::make_shared<RecordingChatModel>(std::move(model), settings.record_to);
  }
  return model;
}

}  // namespace norvex::llm
