"""A plain-Python class of the driver's shape: the same method names,
parameters, annotations and defaults, with bodies that do nothing. The
tests hold the driver's methods against these, as the running interpreter
makes and words them."""


class KX5180:
    def __init__(self, serial_port: "str"):
        pass

    def __check_crc(self, data: "list") -> "bool":
        pass

    def __cal_crc(self, data: "list") -> "None":
        pass

    def __read(self):
        pass

    def __write_and_read(self, cmd: "bytes"):
        pass

    def show_device_version(self) -> "dict":
        pass

    def set_work_mode(self, mode="remote") -> "bool":
        pass

    def set_ouput_mode(self, mode="off") -> "bool":
        pass

    def set_voltage_max(self, voltage: "float") -> "bool":
        pass

    def set_out_voltage(self, voltage: "float") -> "bool":
        pass

    def set_out_current(self, current: "float") -> "bool":
        pass

    def set_new_addr(self, address: "int") -> "bool":
        pass

    def restore_factory(self) -> "bool":
        pass

    def read_dev_status(self) -> "dict":
        pass

    def __read_device_version(self):
        pass

    def check_port_available(self) -> "bool":
        pass

    def open(self) -> "bool":
        pass

    def close(self):
        pass
