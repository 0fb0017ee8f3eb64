#pragma once
/// Everything of the llm module: chat models, structured answers, settings, the factory,
/// cassettes and usage accounting.

#include "norvex/llm/cassette.hpp"
#include "norvex/llm/chat_model.hpp"
#include "norvex/llm/openai_client.hpp"
#include "norvex/llm/settings.hpp"
#include "norvex/llm/usage.hpp"
