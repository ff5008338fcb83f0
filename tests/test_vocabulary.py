"""The words the tools share: failures sorted by their class."""

import pytest
import serial

import zul_mew
from zul_mew_tools.vocabulary import failure_kind, is_protocol_error

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
