"""The importable module: names, class tree, function objects, argument conventions."""

import abc
import inspect
import os
import pickle
import queue
import random
import shutil
import struct
import subprocess
import sys
import threading
import time
import types
import typing

import pytest
import serial

import zul_mew
from zul_mew import MewStatic

NAMES_IN_IMPORT_ORDER = [
    "Serial", "Lock", "Thread", "pack", "unpack", "sleep", "List", "Union", "Queue", "Empty",
    "ABC", "abstractmethod", "_random",
    "MewStatic", "Channel", "MewSerial", "MewBase", "MewSlaveBase", "MewMasterBase", "MewMaster",
    "MewFullDuplex",
    "INST_TYPE_UNKNOWN", "INST_TYPE_XY", "INST_TYPE_Axis", "INST_TYPE_AD",
    "Inst", "InstUnknown", "X16", "Y16", "InstXY", "InstAxis", "InstAD", "_InstXList",
    "_InstWXList", "_InstYList", "_InstWYList", "InstManager", "RandomMewSlaveDemo",
    "MewError", "MewTimeoutError", "MewErrorAnswer", "MewCheckCodeError", "MewStationError",
    "MewFormatError",
]  # fmt: skip

HOST_NAMES = {
    "Serial": serial.Serial,
    "Lock": threading.Lock,
    "Thread": threading.Thread,
    "pack": struct.pack,
    "unpack": struct.unpack,
    "sleep": time.sleep,
    "List": typing.List,  # noqa: UP006 - the host name itself
    "Union": typing.Union,
    "Queue": queue.Queue,
    "Empty": queue.Empty,
    "ABC": abc.ABC,
    "abstractmethod": abc.abstractmethod,
    "_random": random,
}

CLASS_BASES = {
    "MewStatic": (),
    "Channel": ("ABC",),
    "MewSerial": ("Channel",),
    "MewBase": (),
    "MewSlaveBase": ("ABC",),
    "MewMasterBase": ("MewBase",),
    "MewMaster": ("MewMasterBase",),
    "MewFullDuplex": ("MewMaster", "MewSlaveBase"),
    "Inst": ("ABC",),
    "InstUnknown": ("Inst",),
    "X16": (),
    "Y16": (),
    "InstXY": ("Inst",),
    "InstAxis": ("Inst",),
    "InstAD": ("Inst",),
    "_InstXList": (),
    "_InstWXList": (),
    "_InstYList": (),
    "_InstWYList": (),
    "InstManager": ("MewFullDuplex",),
    "RandomMewSlaveDemo": ("MewBase", "MewSlaveBase"),
}

# The failures are IOErrors, so that a host's `except IOError` still holds.
FAILURE_BASES = {
    "MewError": OSError,
    "MewTimeoutError": "MewError",
    "MewErrorAnswer": "MewError",
    "MewCheckCodeError": "MewError",
    "MewStationError": "MewError",
    "MewFormatError": "MewError",
}

FULL_DUPLEX_MRO = ["MewFullDuplex", "MewMaster", "MewMasterBase", "MewBase", "MewSlaveBase"]

ABSTRACT_MEMBERS = {
    "Channel": {"read", "receive_frame", "send_frame", "in_waiting"},
    "MewSlaveBase": {
        "on_get_coil",
        "on_get_multi_coil_uint16",
        "on_get_multi_uint16",
        "on_set_coil",
        "on_set_multi_coil_uint16",
        "on_set_multi_uint16",
    },
    "Inst": {"inst_type"},
}


def module_functions():
    """(class name, member name, wrapper kind, function) for every function of the module."""
    found = []
    for class_name in [*CLASS_BASES, *FAILURE_BASES]:
        for name, member in vars(getattr(zul_mew, class_name)).items():
            if isinstance(member, staticmethod):
                found.append((class_name, name, "static", member.__func__))
            elif isinstance(member, property):
                found.append((class_name, name, "property", member.fget))
            elif type(member).__name__ == "function" and type(member).__module__ == "zul_mew":
                found.append((class_name, name, "method", member))
    return found


FUNCTIONS = module_functions()
FUNCTION_IDS = [f"{c}.{n}" for c, n, _, _ in FUNCTIONS]


def run_python(code, *flags):
    return subprocess.run(
        [sys.executable, *flags, "-c", code],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )


# --- names, constants, classes -----------------------------------------------------------


def test_names_are_bound_in_import_order():
    assert [n for n in vars(zul_mew) if not n.startswith("__")] == NAMES_IN_IMPORT_ORDER


@pytest.mark.parametrize("name, host", HOST_NAMES.items(), ids=HOST_NAMES)
def test_host_names_are_the_hosts_own(name, host):
    assert getattr(zul_mew, name) is host


@pytest.mark.parametrize(
    "name, value",
    [("INST_TYPE_UNKNOWN", 0), ("INST_TYPE_XY", 1), ("INST_TYPE_Axis", 2), ("INST_TYPE_AD", 3)],
)
def test_instrument_type_constants(name, value):
    assert type(getattr(zul_mew, name)) is int and getattr(zul_mew, name) == value


@pytest.mark.parametrize("name, bases", CLASS_BASES.items(), ids=CLASS_BASES)
def test_class_bases_and_metaclass(name, bases):
    cls = getattr(zul_mew, name)
    expected = tuple(getattr(zul_mew, b) for b in bases) or (object,)
    assert cls.__bases__ == expected
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "zul_mew")
    # Not issubclass: a context manager passes as a virtual subclass of an ABC.
    assert type(cls) is (abc.ABCMeta if abc.ABC in cls.__mro__ else type)


@pytest.mark.parametrize(
    "name, mro",
    [
        ("MewFullDuplex", FULL_DUPLEX_MRO),
        ("InstManager", ["InstManager", *FULL_DUPLEX_MRO]),
        ("RandomMewSlaveDemo", ["RandomMewSlaveDemo", "MewBase", "MewSlaveBase"]),
        ("MewSerial", ["MewSerial", "Channel"]),
    ],
)
def test_method_resolution_orders(name, mro):
    expected = [getattr(zul_mew, n) for n in mro]
    if mro[-1] in ("MewSlaveBase", "Channel"):
        expected.append(abc.ABC)
    assert getattr(zul_mew, name).__mro__ == (*expected, object)


@pytest.mark.parametrize("name, base", FAILURE_BASES.items(), ids=FAILURE_BASES)
def test_failure_classes_are_io_errors(name, base):
    cls = getattr(zul_mew, name)
    assert cls.__bases__ == (getattr(zul_mew, base) if isinstance(base, str) else base,)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "zul_mew")
    assert type(cls) is type and issubclass(cls, IOError)
    error = cls("Error: station not match: expected 1, got 2")
    assert (str(error), error.args, error.errno) == (error.args[0], (error.args[0],), None)


def test_an_error_answer_keeps_its_code_through_a_pickle():
    error = zul_mew.MewErrorAnswer("MEW communication error code(hex): 42", code=0x42)
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), str(again), again.code) == (type(error), str(error), 0x42)
    assert zul_mew.MewErrorAnswer("made by a host").code is None


def test_only_mew_static_has_a_docstring():
    assert zul_mew.__doc__ is None
    assert MewStatic.__doc__ == "站号长度不限于8位的Mewtocol通信协议"
    classes = [*CLASS_BASES, *FAILURE_BASES]
    assert [n for n in classes if getattr(zul_mew, n).__doc__ is not None] == ["MewStatic"]


def test_mew_static_constants_are_the_only_class_attributes():
    constants = {
        "MAX_MULTI_COIL_COUNT": 8,
        "HEX_DIGITS": "0123456789ABCDEF",
        "DEC_DIGITS": "0123456789",
        "PROCESS_NONE": -1,
        "PROCESS_ERROR": -2,
        "PROCESS_UNKNOWN_CMD": -3,
        "HEAD": "%",
        "TAIL": "\r",
        "QUERY": "#",
        "ERROR": "!",
        "FEEDBACK": "$",
        "IGNORE_BCC": "*",
        "BROADCAST": 0,
        "CMD_UNKNOWN": "UNKNOWN",
    }
    own = {n: v for n, v in vars(MewStatic).items() if not n.startswith("__")}
    assert {n: v for n, v in own.items() if not isinstance(v, staticmethod)} == constants
    assert list(own)[: len(constants)] == list(constants)
    assert all(isinstance(v, staticmethod) for n, v in own.items() if n not in constants)


# --- abstract classes --------------------------------------------------------------------


def concrete(name, leave_out=None):
    """A host subclass overriding every abstract member except `leave_out`."""
    namespace = {"__init__": lambda self: None}
    for member in ABSTRACT_MEMBERS[name] - {leave_out}:
        namespace[member] = property(lambda self: 0) if member == "in_waiting" else lambda *a: 0
    return type("Host" + name, (getattr(zul_mew, name),), namespace)


@pytest.mark.parametrize("name", ABSTRACT_MEMBERS)
def test_abstract_classes_refuse_instantiation(name):
    cls = getattr(zul_mew, name)
    assert cls.__abstractmethods__ == frozenset(ABSTRACT_MEMBERS[name])
    with pytest.raises(TypeError, match="abstract"):
        cls()
    assert isinstance(concrete(name)(), cls)


@pytest.mark.parametrize(
    "name, member", [(n, m) for n, members in ABSTRACT_MEMBERS.items() for m in sorted(members)]
)
def test_subclass_leaving_one_abstract_member_is_abstract(name, member):
    with pytest.raises(TypeError, match=member):
        concrete(name, leave_out=member)()


@pytest.mark.parametrize(
    "name", ["MewSerial", "MewFullDuplex", "InstManager", "RandomMewSlaveDemo"]
)
def test_concrete_classes_leave_nothing_abstract(name):
    assert getattr(zul_mew, name).__abstractmethods__ == frozenset()


# --- function objects --------------------------------------------------------------------


@pytest.mark.parametrize("class_name, name, kind, function", FUNCTIONS, ids=FUNCTION_IDS)
def test_function_object_face(class_name, name, kind, function):
    assert function.__name__ == name
    assert function.__qualname__ == f"{class_name}.{name}"
    assert function.__module__ == "zul_mew"
    assert function.__doc__ is None
    signature = inspect.signature(function)
    declared = {
        p.name: p.annotation
        for p in signature.parameters.values()
        if p.annotation is not inspect.Parameter.empty
    }
    if signature.return_annotation is not inspect.Signature.empty:
        declared["return"] = signature.return_annotation
    assert function.__annotations__ == declared
    if kind != "static":
        assert next(iter(signature.parameters)) == "self"


@pytest.mark.parametrize("class_name, name, kind, function", FUNCTIONS, ids=FUNCTION_IDS)
def test_unknown_keyword_is_refused_before_the_body(class_name, name, kind, function):
    parameters = inspect.signature(function).parameters.values()
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters):
        pytest.skip("takes any keyword")
    with pytest.raises(TypeError, match="unexpected keyword argument 'no_such_name'"):
        function(no_such_name=1)


@pytest.mark.parametrize(
    "function, signature",
    [
        (MewStatic.calc_crc, "(data: str, init=0) -> int"),
        (MewStatic.fill_uint16, "(data: str, value)"),
        (
            MewStatic.fill_read_word_unit_of_contact_message,
            (
                "(station: int, contact_start: str, contact_end: str = None,"
                " word_count: int = None) -> str"
            ),
        ),
        (MewStatic.fill_write_data_area_message, "(station: int, reg_start: str, values) -> str"),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_signatures(function, signature):
    assert str(inspect.signature(function)) == signature


def test_statics_need_no_instance_and_properties_are_read_only(fake_channel):
    assert MewStatic().calc_crc("abc") == MewStatic.calc_crc("abc") == 0x60
    inst = zul_mew.InstUnknown.__new__(zul_mew.InstUnknown)
    with pytest.raises(AttributeError):
        inst.station = 3


def test_function_binds_as_a_method():
    function = MewStatic.calc_crc

    class Host(str):
        crc = function

    host = Host("abc")
    assert Host.crc is function
    assert isinstance(host.crc, types.MethodType) and host.crc.__self__ is host
    assert host.crc() == 0x60
    assert host.crc(init=1) == 0x61


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [5, None], ids=["int", "none"])
def test_function_names_stay_text(attribute, value):
    function = MewStatic.parse_station
    with pytest.raises(TypeError, match=f"{attribute} must be set to a string object"):
        setattr(function, attribute, value)
    with pytest.raises(TypeError):
        delattr(function, attribute)
    with pytest.raises(TypeError, match="MewStatic.parse_station"):
        function(1, 2)


MADE_BY_THE_HOST = r"""
import copy, zul_mew
function = zul_mew.MewStatic.calc_crc
kind = type(function)
try:
    made = %s
except TypeError:
    print("refused")
else:
    print(repr(made), made.__name__, made.__signature__)
"""


@pytest.mark.parametrize("make", ["kind()", "kind.__new__(kind)", "copy.copy(function)"])
def test_function_objects_are_made_only_by_the_module(make):
    assert run_python(MADE_BY_THE_HOST % make).stdout == "refused\n"


# What the collector's clearing of a cycle leaves of a function that host code
# can still reach while the cycle goes (Py_tp_clear is slot 51), called with
# the GIL held as the collector calls it.
CLEARED = r"""
import ctypes, zul_mew
function = zul_mew.MewStatic.calc_crc
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(function), 51))(function)
print(repr(function).split(" at ")[0], function.__name__, function.__qualname__)
print(function.__signature__, function.__doc__, function.__module__, function.__annotations__)
print(function("abc"), vars(function))
"""


def test_a_cleared_function_object_keeps_its_face():
    assert run_python(CLEARED).stdout.splitlines() == [
        "<function MewStatic.calc_crc calc_crc MewStatic.calc_crc",
        "(data: str, init=0) -> int None None None",
        "96 {}",
    ]


# --- argument conventions ----------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing required argument 'data'"),
        (("a", 0, 1), {}, "takes 2 positional arguments but 3 were given"),
        (("a",), {"start": 0}, "got an unexpected keyword argument 'start'"),
        (("a",), {"data": "b"}, "got multiple values for argument 'data'"),
        (("a", 0), {"init": 1}, "got multiple values for argument 'init'"),
        ((), {"init": 0}, "missing required argument 'data'"),
    ],
    ids=["none", "too-many", "unknown-keyword", "repeats-first", "repeats-default", "only-default"],
)
def test_argument_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=f"^MewStatic.calc_crc\\(\\) {message}$"):
        MewStatic.calc_crc(*args, **kwargs)


def test_text_parameter_given_int():
    with pytest.raises(TypeError) as caught:
        MewStatic.calc_crc(1)
    assert str(caught.value) == "Argument 'data' has incorrect type (expected str, got int)"


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, result",
    [
        (lambda: MewStatic.fill_header(1, None), "%01#None"),
        (lambda: MewStatic.fill_header(1, cmd=Text("RD")), "%01#RD"),
        (lambda: MewStatic.calc_crc(data="abc"), 96),
        (lambda: MewStatic.calc_crc(**{"da" + "ta": "abc"}), 96),
        (lambda: MewStatic.header_matched(rx="%01$RC\r", tx="%01#RCS"), True),
        (lambda: MewStatic.fill_read_word_unit_of_contact_message(1, "WX0", None, 1), None),
    ],
    ids=["none-text", "str-subclass", "keyword", "keyword-not-interned", "keywords-reordered",
         "none-default-given"],
)  # fmt: skip
def test_accepted_arguments(call, result):
    value = call()
    if result is not None:
        assert value == result


def test_arguments_keep_their_reference_counts():
    data, init, frame, values = "%01#" + "RCS" * 3, 1 << 70, "%01$" + "RC**\r", [1 << 20]
    counts = [sys.getrefcount(o) for o in (data, init, frame, values)]
    for _ in range(1000):
        MewStatic.calc_crc(data, init=init)
        MewStatic.calc_crc(data=data, init=init)
        MewStatic.header_matched(frame, frame)
        for bad in (
            lambda: MewStatic.calc_crc(data, init, init),
            lambda: MewStatic.calc_crc(data, init, data=data),
            lambda: MewStatic.calc_crc(init, init=data),
            lambda: MewStatic.fill_write_data_area_message(1, data, values),
            lambda: MewStatic.parse_station("%" + data),
        ):
            with pytest.raises((TypeError, ValueError)):
                bad()
    assert [sys.getrefcount(o) for o in (data, init, frame, values)] == counts


# --- import ------------------------------------------------------------------------------


def test_import_prints_nothing_and_starts_no_thread():
    result = run_python(
        "import os, threading\n"
        "tasks = len(os.listdir('/proc/self/task'))\n"
        "import zul_mew\n"
        "import sys\n"
        "again = __import__('zul_mew')\n"
        "print(threading.active_count(), len(os.listdir('/proc/self/task')) - tasks,"
        " again is sys.modules['zul_mew'] is zul_mew)"
    )
    assert (result.stdout, result.stderr) == ("1 0 True\n", "")


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", zul_mew.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_zul_mew"]


OPTIMISED = r"""
from zul_mew import MewStatic as M
def outcome(call, *args):
    try:
        return repr(call(*args))
    except Exception as error:
        return type(error).__name__ + ": " + str(error)
print(outcome(M.fill_uint16, "", -1))
print(outcome(M.fill_uint32, "", -1))
print(outcome(M.fill_uint16, "", 65536))
print(outcome(M.fill_write_data_area_message, 1, "DT0", [-1]))
print(outcome(M.fill_write_single_data_message, 1, "DT0", 70000))
print(outcome(M.fill_write_word_unit_of_contact_message, 1, "WY0", [-5]))
print(outcome(M.fill_read_word_unit_of_contact_message, 1, "WX0", "WXa", 2))
print(outcome(M.fill_read_word_unit_of_contact_message, 1, "WX0", "WXa"))
print(outcome(M.fill_read_data_area_message, 1, "DT0", 0))
print(outcome(M.fill_read_word_unit_of_contact_message, 1, "WX0", None, 0))
print(outcome(M.fill_write_word_unit_of_contact_message, 1, "WY0", []))
print(outcome(M.fill_write_data_area_message, 1, "DT0", ()))
"""


def test_assertions_disabled_vanish_but_range_checks_stay():
    assert run_python(OPTIMISED, "-O").stdout.splitlines() == [
        "'FF-1'",
        "'FFFFFF-1'",
        "'00100'",
        "ValueError: 16-bit value out of range 0 to 65535: -1",
        "ValueError: 16-bit value out of range 0 to 65535: 70000",
        "ValueError: 16-bit value out of range 0 to 65535: -5",
        repr(MewStatic.append_tail("%01#RCCX00000001")),
        "ValueError: invalid literal for int() with base 10: 'a'",
        "ValueError: register count below 1: 0",
        "ValueError: word count below 1: 0",
        "ValueError: value count below 1: 0",
        "ValueError: value count below 1: 0",
    ]
