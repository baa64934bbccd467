// The docstrings of the module and of the driver class's methods, exactly
// as Python users see them (their wording and spelling are the API's).
#pragma once

// One line a docstring, so that each reads as the text it is.
// clang-format off
namespace kx::module::docs {

inline constexpr const char* kModule =
    "\nBasic Usage:\n    kx5100 = KX5180('/dev/ttyUSB0')\n    if kx5100.open():\n        # turn on Power\n        kx5100.set_work_mode('remote')\n        kx5100.set_out_voltage(1.222) # set voltage 1.222V\n        kx5100.set_out_current(0.888) # set current 0.888A\n        kx5100.set_ouput_mode('on') # turn on Power\n\n        # read the device real status\n        kx5100.read_dev_status()\n\n        # turn off Power\n        kx5100.set_ouput_mode('off')\n        kx5100.set_work_mode('local')\n";

inline constexpr const char* kInit =
    " initialize serial port\n        :param serial_port:\n        For Windows, 'COM3', 'COM4' ...\n        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n        ";

inline constexpr const char* kCheckCrc =
    " Verify the CRC of the received message.\n\n        :param data: List of bytes representing the message received \n                     from the device.\n        :return: True if the CRC is valid, False otherwise.\n        ";

inline constexpr const char* kCalCrc =
    "\n        Calculate the CRC of the send command.\n\n        :param data: List of bytes representing the message to be sended.\n        ";

inline constexpr const char* kRead =
    "\n        Read serial data\n        ";

inline constexpr const char* kWriteAndRead =
    "\n        send command and read response data and check crc\n        :param cmd: the command send to serial port\n        ";

inline constexpr const char* kShowDeviceVersion =
    "return a dict\n        {\n            'model':5181,\n            'number':076787041\n            'sfot_version':373\n        }\n        ";

inline constexpr const char* kSetWorkMode =
    " set deivce work mode\n        @mode: 'remote' means PC controll mode\n        @mode: 'local' means local manual controll\n        return: True if set sucess, otherwise False\n        ";

inline constexpr const char* kSetOuputMode =
    " turn on or off the device power ouput\n        @mode: 'off' means turn off the power\n        @mode: 'on' means turn on the power\n        return: True if set sucess, otherwise False\n        ";

inline constexpr const char* kSetVoltageMax =
    " set the device max voltage ouput value\n        @voltage: maximum output voltage value, unit: V (float) \n            1.1 means 1.1V\n        return: True if set sucess, otherwise False\n        ";

inline constexpr const char* kSetOutVoltage =
    " set output voltage \n        @voltage: output voltage value, unit: V (float) \n            1.1 means 1.1V\n        return: True if set sucess, otherwise False\n        ";

inline constexpr const char* kSetOutCurrent =
    " set output current limitation\n        @current: the max of power current output, unit: A (float) \n            0.8 means 0.8A\n        return: True if set sucess, otherwise False\n        ";

inline constexpr const char* kSetNewAddr =
    " set new address of the device\n        @address: set the address of the device\n        return: True if set sucess, otherwise False\n        ";

inline constexpr const char* kRestoreFactory =
    " resotre the device to factory settings\n        return: True if set sucess, otherwise False\n        ";

inline constexpr const char* kReadDevStatus =
    " read current device status\n        return a dict if success, otherwise None:\n        {\n            'current_real': 0.2\n            'voltage_real': 3.29\n            'current_set': 1.0\n            'voltage_max_set': 5.0\n            'voltage_set': 3.3\n            'out_status': 'on'\n            'beyond_temp': ''\n            'out_mode': 'CV'\n            'fan_speed': '3'\n            'work_mode': 'remote'\n        }\n        ";

inline constexpr const char* kReadDeviceVersion =
    " Read device version\n        device version: module, hardware, software\n        :return dict:\n        {\n            'module_version': 2,\n            'hard_version': 50,\n            'soft_version': 32,\n        }\n        ";

inline constexpr const char* kCheckPortAvailable =
    " Check whether the port is available\n        :return bool: True if available, else False\n        ";

inline constexpr const char* kOpen =
    " open the serial port\n        :return bool: True if open sucess, else False\n        ";

}  // namespace kx::module::docs
// clang-format on
