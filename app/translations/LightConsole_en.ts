<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>BrightAdjustWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>LED385</source>
        <translation>LED385</translation>
    </message>
    <message>
        <source>使能</source>
        <translation>On</translation>
    </message>
    <message>
        <source>温度值:</source>
        <translation>Temp:</translation>
    </message>
    <message>
        <source>过温:</source>
        <translation>Overheat:</translation>
    </message>
</context>
<context>
    <name>EdgeModeWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>延时(ms):</source>
        <translation>Delay (ms):</translation>
    </message>
    <message>
        <source>脉冲宽度(ms):</source>
        <translation>Pulse width (ms):</translation>
    </message>
    <message>
        <source>LED_ID0:</source>
        <translation>LED_ID0:</translation>
    </message>
    <message>
        <source>LED_ID1:</source>
        <translation>LED_ID1:</translation>
    </message>
    <message>
        <source>LED_ID2:</source>
        <translation>LED_ID2:</translation>
    </message>
    <message>
        <source>LED_ID3:</source>
        <translation>LED_ID3:</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>MainWindow</source>
        <translation>MainWindow</translation>
    </message>
    <message>
        <source>串口配置：</source>
        <translation>Serial port:</translation>
    </message>
    <message>
        <source> 亮度调节：</source>
        <translation> Brightness:</translation>
    </message>
    <message>
        <source>软件信息：</source>
        <translation>Software:</translation>
    </message>
    <message>
        <source>软件版本：</source>
        <translation>Version:</translation>
    </message>
    <message>
        <source>None</source>
        <translation>None</translation>
    </message>
    <message>
        <source>SDK版本：</source>
        <translation>SDK version:</translation>
    </message>
    <message>
        <source>设备信息：</source>
        <translation>Device:</translation>
    </message>
    <message>
        <source>设备型号：</source>
        <translation>Model:</translation>
    </message>
    <message>
        <source>工作模式：</source>
        <translation>Work mode:</translation>
    </message>
    <message>
        <source>LED光源控制软件</source>
        <translation>LED Light Source Control</translation>
    </message>
    <message>
        <source>获取设备型号失败!</source>
        <translation>Could not read the device model!</translation>
    </message>
    <message>
        <source>4色光源</source>
        <translation>4-colour source</translation>
    </message>
    <message>
        <source>8色光源</source>
        <translation>8-colour source</translation>
    </message>
    <message>
        <source>设备型号(0x%08x)不匹配!</source>
        <translation>Device model (0x%08x) not supported!</translation>
    </message>
    <message>
        <source>获取设备版本信息失败!</source>
        <translation>Could not read the device version!</translation>
    </message>
</context>
<context>
    <name>MultiBrightAdjustWidget</name>
    <message>
        <source>获取设备LED(%d)使能状态失败!</source>
        <translation>Could not read whether LED(%d) is on!</translation>
    </message>
    <message>
        <source>获取设备LED(%d)占空比失败!</source>
        <translation>Could not read the duty cycle of LED(%d)!</translation>
    </message>
    <message>
        <source>设置%s(%s) - %s!</source>
        <translation>Set %s (%s) - %s!</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>on</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>off</translation>
    </message>
    <message>
        <source>成功</source>
        <translation>done</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>failed</translation>
    </message>
    <message>
        <source>设置%s占空比(%u) - %s!</source>
        <translation>Set %s duty cycle (%u) - %s!</translation>
    </message>
    <message>
        <source>获取设备LED(%d)温度失败!</source>
        <translation>Could not read the temperature of LED(%d)!</translation>
    </message>
</context>
<context>
    <name>NormalModeWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>无特殊参数！</source>
        <translation>No parameters in this mode.</translation>
    </message>
</context>
<context>
    <name>OrdinalModeWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>暂不支持！</source>
        <translation>Not supported yet.</translation>
    </message>
</context>
<context>
    <name>SerialDeviceWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>串口选择：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>扫描</source>
        <translation>Scan</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>扫描到 %d 个串口设备!</source>
        <translation>Found %d serial ports!</translation>
    </message>
    <message>
        <source>串口扫描失败，未找到串口设备，请先连接串口设备!</source>
        <translation>The scan found no serial port: connect a serial device first!</translation>
    </message>
    <message>
        <source>未找到串口设备，请先扫描串口设备!</source>
        <translation>No serial port: scan for serial devices first!</translation>
    </message>
    <message>
        <source>打开串口设备失败，请先连接串口设备，并检查是否被占用!</source>
        <translation>Could not open the serial device: connect it and check that no other program is using it!</translation>
    </message>
    <message>
        <source>设备已打开!</source>
        <translation>Device opened!</translation>
    </message>
</context>
<context>
    <name>TriggerModeWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>触发
一次</source>
        <translation>Trigger
once</translation>
    </message>
    <message>
        <source>使能输出</source>
        <translation>Enable output</translation>
    </message>
    <message>
        <source>延时(ms):</source>
        <translation>Delay (ms):</translation>
    </message>
    <message>
        <source>脉宽时间(ms)：</source>
        <translation>Pulse width (ms):</translation>
    </message>
    <message>
        <source>脉冲间隔(ms)：</source>
        <translation>Pulse interval (ms):</translation>
    </message>
    <message>
        <source>脉冲个数：</source>
        <translation>Pulse count:</translation>
    </message>
</context>
<context>
    <name>TtlModeWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>模拟
触发</source>
        <translation>Simulate
trigger</translation>
    </message>
    <message>
        <source>使能输出</source>
        <translation>Enable output</translation>
    </message>
    <message>
        <source>延时(ms):</source>
        <translation>Delay (ms):</translation>
    </message>
</context>
<context>
    <name>WorkModeSwitchWidget</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
    <message>
        <source>标准模式</source>
        <translation>Standard</translation>
    </message>
    <message>
        <source>TTL触发</source>
        <translation>TTL trigger</translation>
    </message>
    <message>
        <source>边沿触发</source>
        <translation>Edge trigger</translation>
    </message>
    <message>
        <source>内部触发</source>
        <translation>Internal trigger</translation>
    </message>
    <message>
        <source>顺序模式</source>
        <translation>Sequence</translation>
    </message>
</context>
</TS>
