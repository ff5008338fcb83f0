"""The words the tools share: failures sorted by their class, error codes in
the user's words."""

import pytest
import serial

import zul_mew
from zul_mew_tools.vocabulary import failure_kind, is_protocol_error, reason

ANSWER_42 = "MEW communication error code(hex): 42"


@pytest.mark.parametrize(
    "error, kind, protocol",
    [
        (zul_mew.MewTimeoutError("MewMasterBase: device response timeout."), "timeout", True),
        (zul_mew.MewErrorAnswer(ANSWER_42, code=0x42), "error 42", True),
        (zul_mew.MewErrorAnswer("MEW communication error code(hex): zz"), "error ??", True),
        (zul_mew.MewCheckCodeError("Error: device response check code mismatch"), "check code",
         True),
        (zul_mew.MewStationError("Error: station not match: expected 1, got 2"), "station", True),
        (zul_mew.MewFormatError("Error: device response format invalid."), "format", True),
        # A port that failed says nothing of the protocol, whatever its words.
        (serial.SerialException("Error: device reports readiness to read"), "line", False),
        (OSError("MewMasterBase: device response timeout."), "line", False),
        (ValueError("invalid literal for int() with base 16: 'ZZ'"), "format", None),
    ],
    ids=["timeout", "error-answer", "error-answer-unreadable", "check-code", "station",
         "format", "port", "plain-io-error", "data-not-hex"],
)  # fmt: skip
def test_failures_sorted_by_class(error, kind, protocol):
    assert failure_kind(error) == kind
    if protocol is not None:
        assert is_protocol_error(error) is protocol


@pytest.mark.parametrize(
    "error, said",
    [
        (zul_mew.MewErrorAnswer(ANSWER_42, code=0x42), f"{ANSWER_42} (command not supported)"),
        (zul_mew.MewErrorAnswer("MEW communication error code(hex): 99", code=0x99),
         "MEW communication error code(hex): 99"),
        (OSError(ANSWER_42), ANSWER_42),
        (AssertionError(), "AssertionError"),
    ],
    ids=["known-code", "unknown-code", "not-an-answer", "no-text"],
)  # fmt: skip
def test_reason(error, said):
    assert reason(error) == said
