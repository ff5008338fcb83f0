"""Build a request frame and check the check code of an answer."""

from zul_mew import MewStatic

request = MewStatic.fill_read_data_area_message(1, "DT100", 1)
print("request:", repr(request))

answer = "%01$RD630013\r"
print("answer BCC ok:", MewStatic.crc_is_ok(answer))
print("answer station:", MewStatic.parse_station(answer))
print("register value:", MewStatic.parse_uint16(answer[6:10]))
