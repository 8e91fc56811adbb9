#include "python/columns/column_messages.h"

#include <cstdio>

#include "python/errors.h"
#include "python/py_ref.h"

namespace korvane::python {

namespace {

bool raise(PyObject* type, const std::string& message) {
  raise_with_text(type, message);
  return false;
}

// The object's type name; "?" when even that fails.
std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

std::string_view role_rule(ColumnRole role) {
  switch (role) {
    case ColumnRole::kIds:
      return "식별자 열은 정수나 문자열이어야 한다";
    case ColumnRole::kScores:
      return "점수 열은 실수, 정수, 불리언 중 하나여야 한다";
    case ColumnRole::kGroups:
      return "그룹 열은 문자열이나 정수여야 한다";
    case ColumnRole::kCost:
      return "비용 열은 정수여야 한다";
    case ColumnRole::kCover:
      return "cover 열은 문자열 목록이어야 한다";
  }
  return "";
}

}  // namespace

bool raise_not_a_column(const std::string& name, PyObject* object) {
  return raise(PyExc_TypeError, name +
                                    " 는 열이어야 한다. 버퍼(numpy 배열 등), Arrow 배열, 파이썬 "
                                    "순서열 중 하나를 줘야 한다. 받은 형 '" +
                                    type_name(object) + "'");
}

bool raise_not_one_dimensional(const std::string& name, int dimensions) {
  return raise(PyExc_ValueError, name + " 는 1차원 열이어야 한다. 받은 배열은 " +
                                     std::to_string(dimensions) + "차원이다");
}

bool raise_unsupported_format(const ColumnRequest& request, std::string_view format) {
  std::string message = request.name + " 의 형식 '";
  message.append(format).append("' 은 읽을 수 없다. ").append(role_rule(request.role));
  return raise(PyExc_TypeError, message);
}

bool raise_length_mismatch(const std::string& reference, int64_t reference_length,
                           const std::string& name, int64_t length) {
  return raise(PyExc_ValueError, "열의 길이가 다르다: " + reference + " 는 " +
                                     std::to_string(reference_length) + " 행인데 " + name + " 는 " +
                                     std::to_string(length) + " 행이다");
}

bool raise_null_id(const std::string& name, int64_t row) {
  return raise(PyExc_ValueError, name + " 의 " + std::to_string(row) +
                                     " 행이 비어 있다(null). 식별자는 빠질 수 없다");
}

bool raise_bad_cost(const std::string& name, int64_t row, const std::string& value) {
  return raise(PyExc_ValueError, name + " 의 " + std::to_string(row) + " 행 값 " + value +
                                     " 는 비용이 될 수 없다. 비용은 0 이상 4294967295 이하의 "
                                     "정수여야 한다");
}

bool raise_bad_code_point(const std::string& name, int64_t row, uint32_t code_point) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "U+%04X", code_point);
  return raise(PyExc_ValueError, name + " 의 " + std::to_string(row) +
                                     " 행에 유니코드 문자가 아닌 코드 포인트 " + hex + " 가 있다");
}

bool raise_arrow_structure(const std::string& name, std::string_view detail) {
  std::string message = name + " 의 Arrow 배열 구조가 올바르지 않다: ";
  message.append(detail);
  return raise(PyExc_ValueError, message);
}

bool raise_arrow_stream(const std::string& name, std::string_view detail) {
  std::string message = name + " 의 Arrow 스트림을 읽지 못했다: ";
  message.append(detail);
  return raise(PyExc_ValueError, message);
}

bool raise_unknown_axis_key(std::string_view mapping, std::string_view key) {
  std::string message(mapping);
  message.append(" 의 키 '").append(key).append("' 는 등록된 축이 아니다");
  return raise(PyExc_ValueError, message);
}

bool raise_unused_group_key(std::string_view key) {
  std::string message = "groups 의 키 '";
  message.append(key).append(
      "' 를 쓰는 제약이 없다. max_per_group 이나 require_at_least 의 key 여야 한다");
  return raise(PyExc_ValueError, message);
}

bool raise_key_not_text(std::string_view mapping, PyObject* key) {
  std::string message(mapping);
  message.append(" 의 키는 문자열이어야 한다. 받은 형 '").append(type_name(key)).append("'");
  return raise(PyExc_TypeError, message);
}

bool raise_wrong_shape(std::string_view message) {
  return raise(PyExc_TypeError, std::string(message));
}

bool raise_id_not_joinable(const std::string& name, int64_t row, PyObject* object) {
  return raise(PyExc_TypeError, name + " 의 " + std::to_string(row) +
                                    " 행은 정수나 문자열이어야 한다. 받은 형 '" +
                                    type_name(object) + "'");
}

bool raise_pad_not_id(PyObject* object) {
  return raise(PyExc_TypeError,
               "pad_id 는 정수나 문자열이어야 한다. 받은 형 '" + type_name(object) + "'");
}

bool raise_row_offset_overflow() {
  return raise(PyExc_OverflowError, "row_offset 에 행 수를 더하면 64비트 정수 범위를 벗어난다");
}

}  // namespace korvane::python
