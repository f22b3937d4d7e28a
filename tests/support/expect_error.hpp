#pragma once

// Checks of thrown errors: the kind, and the message exactly or by the pieces it must hold.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kovra_test {

/// Expects `call` to throw `Error` whose message is exactly `message`.
template <class Error, class Call>
void expect_error_message(Call&& call, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "nothing thrown, expected: " << message;
  } catch (const Error& error) {
    EXPECT_EQ(std::string(error.what()), message);
  }
}

/// Expects `call` to throw `Error` whose message holds every one of `parts`.
template <class Error, class Call>
void expect_error_containing(Call&& call, const std::vector<std::string>& parts) {
  try {
    call();
    ADD_FAILURE() << "nothing thrown, expected an error containing: " << parts.front();
  } catch (const Error& error) {
    for (const std::string& part : parts) {
      EXPECT_NE(std::string(error.what()).find(part), std::string::npos) << error.what();
    }
  }
}

template <class Error, class Call>
void expect_error_containing(Call&& call, std::initializer_list<std::string> parts) {
  expect_error_containing<Error>(std::forward<Call>(call), std::vector<std::string>(parts));
}

template <class Error, class Call>
void expect_error_containing(Call&& call, const std::string& part) {
  expect_error_containing<Error>(std::forward<Call>(call), std::vector<std::string>{part});
}

}  // namespace kovra_test
