# This file is built into the extension module kx5180, and that built-in
# copy is what runs. The copy installed beside the module (kx5180/
# kx5180.class.py in site-packages) is only what tracebacks and inspect
# show: editing it changes what they print, never what runs. Edit
# src/module/kx5180.class.py and rebuild.
"""
Basic Usage:
    kx5100 = KX5180('/dev/ttyUSB0')
    if kx5100.open():
        # turn on Power
        kx5100.set_work_mode('remote')
        kx5100.set_out_voltage(1.222) # set voltage 1.222V
        kx5100.set_out_current(0.888) # set current 0.888A
        kx5100.set_ouput_mode('on') # turn on Power

        # read the device real status
        kx5100.read_dev_status()

        # turn off Power
        kx5100.set_ouput_mode('off')
        kx5100.set_work_mode('local')
"""

# The extension module kx5180 runs this file as its own body when it is
# imported: the interpreter binds the imports, builds the driver class and
# mangles its private names. Each method hands its arguments to its native
# body (C++), which the module passes to _driver_class by name ("native_"
# and the method's name without its underscores; a name on one side only
# stops the import), and then removes _driver_class again.
#
# Docstrings are assigned rather than written as the first statement of each
# method: from Python 3.13 on the compiler strips a docstring's indentation,
# and these texts are part of the API, blanks included.

import platform
import serial
import time
import subprocess
import binascii


def _driver_class(*, native_init, native_check_crc, native_cal_crc, native_read, native_write_and_read,
                  native_show_device_version, native_set_work_mode, native_set_ouput_mode, native_set_voltage_max,
                  native_set_out_voltage, native_set_out_current, native_set_new_addr, native_restore_factory,
                  native_read_dev_status, native_read_device_version, native_check_port_available, native_open,
                  native_close):
    # Bound as a module global, and so named "KX5180", not
    # "_driver_class.<locals>.KX5180".
    global KX5180

    class KX5180:
        __CMD_TEMPLATE = (0xAA, 0xFF, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xCC)
        __CMD_WORD_SET_WORK_MODE = 0x20
        __CMD_WORD_SET_OUT_MODE = 0x21
        __CMD_WORD_SET_MAX_OUT_VOLTAGE = 0x22
        __CMD_WORD_SET_OUT_VOLTAGE = 0x23
        __CMD_WORD_SET_OUT_CURRENT = 0x24
        __CMD_WORD_SET_NEW_ADDR = 0x25
        __CMD_WORD_READ_DEV_REAL_STATUS = 0x26
        __CMD_WORD_READ_DEV_VERSION = 0x31
        __CMD_WORD_RESTORE_FACTORY = 0x32
        __CMD_WORD_DEV_RETURN = 0x12
        __CMD_LENGTH = 26

        def __init__(self, serial_port: "str"):
            return native_init(self, serial_port)

        __init__.__doc__ = """ initialize serial port
        :param serial_port:
        For Windows, 'COM3', 'COM4' ...
        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...
        """

        def __check_crc(self, data: "list") -> "bool":
            return native_check_crc(self, data)

        __check_crc.__doc__ = """ Verify the CRC of the received message.

        :param data: List of bytes representing the message received \n                     from the device.
        :return: True if the CRC is valid, False otherwise.
        """

        def __cal_crc(self, data: "list") -> "None":
            return native_cal_crc(self, data)

        __cal_crc.__doc__ = """
        Calculate the CRC of the send command.

        :param data: List of bytes representing the message to be sended.
        """

        def __read(self):
            return native_read(self)

        __read.__doc__ = """
        Read serial data
        """

        def __write_and_read(self, cmd: "bytes"):
            return native_write_and_read(self, cmd)

        __write_and_read.__doc__ = """
        send command and read response data and check crc
        :param cmd: the command send to serial port
        """

        def show_device_version(self) -> "dict":
            return native_show_device_version(self)

        show_device_version.__doc__ = """return a dict
        {
            'model':5181,
            'number':076787041
            'sfot_version':373
        }
        """

        def set_work_mode(self, mode="remote") -> "bool":
            return native_set_work_mode(self, mode)

        set_work_mode.__doc__ = """ set deivce work mode
        @mode: 'remote' means PC controll mode
        @mode: 'local' means local manual controll
        return: True if set sucess, otherwise False
        """

        def set_ouput_mode(self, mode="off") -> "bool":
            return native_set_ouput_mode(self, mode)

        set_ouput_mode.__doc__ = """ turn on or off the device power ouput
        @mode: 'off' means turn off the power
        @mode: 'on' means turn on the power
        return: True if set sucess, otherwise False
        """

        def set_voltage_max(self, voltage: "float") -> "bool":
            return native_set_voltage_max(self, voltage)

        set_voltage_max.__doc__ = """ set the device max voltage ouput value
        @voltage: maximum output voltage value, unit: V (float) \n            1.1 means 1.1V
        return: True if set sucess, otherwise False
        """

        def set_out_voltage(self, voltage: "float") -> "bool":
            return native_set_out_voltage(self, voltage)

        set_out_voltage.__doc__ = """ set output voltage \n        @voltage: output voltage value, unit: V (float) \n            1.1 means 1.1V
        return: True if set sucess, otherwise False
        """

        def set_out_current(self, current: "float") -> "bool":
            return native_set_out_current(self, current)

        set_out_current.__doc__ = """ set output current limitation
        @current: the max of power current output, unit: A (float) \n            0.8 means 0.8A
        return: True if set sucess, otherwise False
        """

        def set_new_addr(self, address: "int") -> "bool":
            return native_set_new_addr(self, address)

        set_new_addr.__doc__ = """ set new address of the device
        @address: set the address of the device
        return: True if set sucess, otherwise False
        """

        def restore_factory(self) -> "bool":
            return native_restore_factory(self)

        restore_factory.__doc__ = """ resotre the device to factory settings
        return: True if set sucess, otherwise False
        """

        def read_dev_status(self) -> "dict":
            return native_read_dev_status(self)

        read_dev_status.__doc__ = """ read current device status
        return a dict if success, otherwise None:
        {
            'current_real': 0.2
            'voltage_real': 3.29
            'current_set': 1.0
            'voltage_max_set': 5.0
            'voltage_set': 3.3
            'out_status': 'on'
            'beyond_temp': ''
            'out_mode': 'CV'
            'fan_speed': '3'
            'work_mode': 'remote'
        }
        """

        def __read_device_version(self):
            return native_read_device_version(self)

        __read_device_version.__doc__ = """ Read device version
        device version: module, hardware, software
        :return dict:
        {
            'module_version': 2,
            'hard_version': 50,
            'soft_version': 32,
        }
        """

        def check_port_available(self) -> "bool":
            return native_check_port_available(self)

        check_port_available.__doc__ = """ Check whether the port is available
        :return bool: True if available, else False
        """

        def open(self) -> "bool":
            return native_open(self)

        open.__doc__ = """ open the serial port
        :return bool: True if open sucess, else False
        """

        def close(self):
            return native_close(self)

    # What Python 3.13 adds to a class statement's namespace: the class keeps
    # the namespace it has on every version.
    for added in ("__firstlineno__", "__static_attributes__"):
        if added in KX5180.__dict__:
            delattr(KX5180, added)
