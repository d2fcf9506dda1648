'use strict'
// An MQTT 3.1.1 broker for the tests, as Node-RED users run it: Aedes in
// memory (retained messages and wills kept), on 127.0.0.1 only.
// Usage: node broker.js PORT. One line on standard output per connection
// accepted or refused, so a test can see what the broker saw.
const net = require('net')
const aedes = require('aedes')()

const port = Number(process.argv[2])
if (!Number.isInteger(port) || port < 1 || port > 65535) {
  console.error('usage: node broker.js PORT')
  process.exit(2)
}

aedes.on('clientReady', (client) => console.log(`connected ${client.id} version ${client.version}`))
aedes.on('connackSent', (packet, client) => {
  if (packet.returnCode !== 0) console.log(`refused ${client.id || '(no id yet)'} return code ${packet.returnCode}`)
})
aedes.on('clientDisconnect', (client) => console.log(`disconnected ${client.id}`))

const server = net.createServer(aedes.handle)
server.listen(port, '127.0.0.1', () => console.log(`listening on 127.0.0.1:${port}`))
server.on('error', (e) => {
  console.error(e.message)
  process.exit(1)
})
// The test's SIGTERM: its clients see their connections end, as with mosquitto.
process.on('SIGTERM', () => server.close(() => aedes.close(() => process.exit(0))))
