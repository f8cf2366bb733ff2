#include "ini/component.h"

#include <gtest/gtest.h>

#include "base/failure.h"

namespace varnok {
namespace {

TEST(GetComponentType, FirstTypeContainedIgnoringCase) {
  EXPECT_EQ(GetComponentType("MyTextBox2"), "TextBox");
  EXPECT_EQ(GetComponentType("checkbox_agree"), "CheckBox");
  EXPECT_EQ(GetComponentType("CheckBoxOrTextBox"), "TextBox");
  EXPECT_EQ(GetComponentType("ScrollBoxFileBox"), "FileBox");
  EXPECT_EQ(GetComponentType("FileBoxCaption"), "FileBox");
  EXPECT_EQ(GetComponentType("RADIOBUTTON"), "RadioButton");
  EXPECT_EQ(GetComponentType("Caption"), "");
  EXPECT_EQ(GetComponentType("Text Box"), "");
  EXPECT_EQ(GetComponentType(""), "");
}

TEST(SplitFields, EveryCommaSplitsAndFieldsAreTrimmed) {
  using Fields = std::vector<std::string>;
  EXPECT_EQ(SplitFields("a,,b", ','), (Fields{"a", "", "b"}));
  EXPECT_EQ(SplitFields(" a \t,\x01 \"b, c\" ,", ','), (Fields{"a", "\"b", "c\"", ""}));
  EXPECT_EQ(SplitFields("x|y , |z| ", ','), (Fields{"x,y", ",z,"}));
  EXPECT_EQ(SplitFields("", ','), (Fields{""}));
}

struct Example {
  const char* type;
  const char* value;
  const char* read_line;
  const char* written;
};

template <size_t N>
void ExpectWritten(const Example (&examples)[N]) {
  for (const Example& e : examples) {
    EXPECT_EQ(ChangeComponentLine(e.type, e.read_line, e.value), e.written)
        << e.type << " " << e.read_line;
  }
}

TEST(ChangeComponentLine, WorkedExamples) {
  const Example examples[] = {
      {"TextBox", "Bob", "Your name\",10,20,200,\"Alice", "\"Your name\",10,20,200,\"Bob\""},
      {"FileBox", "D:\\Apps", "C:\\Program Files\\Demo\",8,16,\"Browse",
       "\"D:\\Apps\",8,16,\"Browse\""},
      {"NumberBox", "8", "10, 40, 60, 21, 0, 100, 1, 5", "10,40,60,21,0,100,1,8"},
      {"CheckBox", "1", "\"Agree\",10,10,0", "\"Agree\",10,10,1"},
      {"RadioButton", "2", "Choose,Yes|No|Maybe,1", "Choose,Yes,No,Maybe,2"},
      {"ScrollBox", "x", "Only one", "x"},
      {"ScrollBox", "x", "\"a\",1,2", "\"x\",1,2"},  // the first of several fields
  };
  ExpectWritten(examples);
}

TEST(ChangeComponentLine, QuotesAndTheNewValue) {
  const Example examples[] = {
      {"TextBox", "v", "abc\"", "\"v\""},              // first-field repair, then quoted
      {"TextBox", "v", "\"abc", "\"v\""},              // last-field repair
      {"FileBox", "new", "\"a,b\",1", "\"new\",b\",1"},  // a comma inside quotes splits
      {"TextBox", " a|b, \"c\" ", "x , y", "x, a|b, \"c\" "},
      {"TextBox", "", "x,\"y\"", "x,\"\""},
      {"TextBox", "", "abc", ""},
      {"CheckBox", "1", "\"Agree\",,", "\"Agree\",,1"},
      {"FileBox", "f", "abc\",1,\"", "\"f\",1,\""},
  };
  ExpectWritten(examples);
}

TEST(ChangeComponentLine, NumberBoxNeedsEightFields) {
  EXPECT_EQ(ChangeComponentLine("NumberBox", "0,1,2,3,4,5,6,7,8", "x"), "0,1,2,3,4,5,6,x,8");
  try {
    ChangeComponentLine("NumberBox", "0,1,2,3,4,5,6", "x");
    ADD_FAILURE() << "no failure raised";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.kind(), "EStringListError");
    EXPECT_EQ(failure.message(), "List index out of bounds (7)");
  }
}

}  // namespace
}  // namespace varnok
